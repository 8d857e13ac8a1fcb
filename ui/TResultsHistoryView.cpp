#include "ui/TResultsHistoryView.h"

#include "settings/AppIniFileStorage.h"
#include "ui/ChartStyle.h"
#include "storage/DayCountDate.h"
#include "storage/ResultsTable.h"
#include "engine/net/ServerTarget.h"
#include "ui/TResultsChart.h"
#include "storage/XLabelText.h"

#include <QAction>
#include <QPolygonF>
#include <QHelpEvent>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr double HourDays = 1.0 / 24;
// Closer than this the time axis would show the same label over and over.
constexpr double MinimumSpanDays = HourDays / 4;
constexpr double WheelStepZoom = 0.8;
constexpr int HitPixels = 5;

QString Key(const char* name)
{
    return TResultsHistoryView::SettingsSection() + QLatin1Char('\\') + QLatin1String(name);
}

}  // namespace

TResultsHistoryView::TResultsHistoryView(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("History"));
    setMouseTracking(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    FTargetButton = new QToolButton(this);
    FTargetButton->setObjectName(QStringLiteral("HistoryTargets"));
    FTargetButton->setText(QStringLiteral("Targets"));
    FTargetButton->setPopupMode(QToolButton::InstantPopup);
    FTargetButton->setMenu(new QMenu(FTargetButton));
    // Filled when opened: a history of a target per result would otherwise build thousands
    // of entries at every start, for a menu seldom opened.
    connect(FTargetButton->menu(), &QMenu::aboutToShow, this, &TResultsHistoryView::FillTargetMenu);
    FTargetButton->move(4, 4);
    RebuildTargetMenu();
}

QColor TResultsHistoryView::TargetColor(int targetIndex)
{
    return TResultsChart::BarColor(targetIndex);
}

QString TResultsHistoryView::SeriesName(const TResultRow& row)
{
    // A web page's URL or a target that names its port already says where it went; the port
    // written in a server target is the one the test used.
    QString name = row.Server.isEmpty() ? QStringLiteral("(no name)") : row.Server;
    const bool web = row.Server.contains(QStringLiteral("://"));
    const TServerTarget target = ParseServerTarget(row.Server.toStdString());
    if (row.Port > 0 && !web && target.Error.empty() && target.Port == 0)
        name += (row.Server.contains(QLatin1Char(':')) ? QStringLiteral(" port ") : QStringLiteral(":"))
                + QString::number(row.Port);
    return name + QStringLiteral(" (") + row.DirectionOrDefault() + QLatin1Char(')');
}

bool TResultsHistoryView::Valid(double time, double rate)
{
    // Failed or damaged rows carry no rate or no time worth placing.
    return std::isfinite(time) && time > 0 && std::isfinite(rate) && rate >= 0;
}

void TResultsHistoryView::SetTable(TResultsTable* table)
{
    if (FTable)
        disconnect(FTable, nullptr, this, nullptr);
    FTable = table;
    if (table) {
        connect(table, &TResultsTable::AfterPost, this, &TResultsHistoryView::RowPosted);
        connect(table, &TResultsTable::AfterReset, this, &TResultsHistoryView::Reload);
    }
    Reload();
}

void TResultsHistoryView::Reload()
{
    FPoints.clear();
    const QStringList oldTargets = FTargets;
    FTargets.clear();
    FTargetServers.clear();
    FTargetIndex.clear();
    if (FTable && FTable->Active()) {
        const int count = FTable->RecordCount();
        FPoints.reserve(count);
        for (int index = 0; index < count; ++index)
            AddRow(index);
        // Rows come in Order, which is nearly always time order; sort once, not per row.
        std::stable_sort(FPoints.begin(), FPoints.end(),
                         [](const TPoint& a, const TPoint& b) { return a.time < b.time; });
    }
    if (FTargets != oldTargets)
        RebuildTargetMenu();
    update();
}

void TResultsHistoryView::AddRow(int index)
{
    const TResultRow& row = FTable->Row(index);
    // Every series gets its colour from its first row, valid or not, so colours stay put.
    const QString series = SeriesName(row);
    const auto known = FTargetIndex.constFind(series);
    const int target = known != FTargetIndex.cend() ? *known : int(FTargets.size());
    if (known == FTargetIndex.cend()) {
        FTargetIndex.insert(series, target);
        FTargets.append(series);
        FTargetServers.append(row.Server);
    }
    if (!Valid(row.StartTime, row.Result))
        return;
    FPoints.append({row.StartTime, row.Result, index, target, row.PlanBps > 0 ? row.PlanBps / 8192.0 : 0.0});
}

void TResultsHistoryView::RowPosted(int index)
{
    if (!FTable || index < 0 || index >= FTable->RecordCount())
        return;
    const double lastTime = FPoints.isEmpty() ? 0 : FPoints.last().time;
    const int targets = int(FTargets.size());
    // Rows after index move down by one.
    for (TPoint& point : FPoints)
        if (point.row >= index)
            ++point.row;
    const qsizetype before = FPoints.size();
    AddRow(index);
    if (FPoints.size() == before) {
        if (int(FTargets.size()) != targets)
            RebuildTargetMenu();
        return;
    }
    const TPoint added = FPoints.takeLast();
    const auto at = std::upper_bound(FPoints.begin(), FPoints.end(), added.time,
                                     [](double t, const TPoint& p) { return t < p.time; });
    FPoints.insert(at, added);
    if (int(FTargets.size()) != targets)
        RebuildTargetMenu();
    // A view that showed the newest results keeps showing them.
    if (FViewEnd > FViewStart && FViewEnd >= lastTime && added.time > FViewEnd) {
        const double shift = added.time - FViewEnd + (FViewEnd - FViewStart) * 0.02;
        FViewStart += shift;
        FViewEnd += shift;
    }
    update();
}

void TResultsHistoryView::AttachTo(QTabWidget* tabs)
{
    FTabs = tabs;
    auto* toggle = new QAction(QStringLiteral("&History Tab"), tabs->tabBar());
    toggle->setObjectName(QStringLiteral("acShowHistory"));
    toggle->setCheckable(true);
    tabs->tabBar()->addAction(toggle);
    FShowTab = toggle;
    tabs->tabBar()->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(toggle, &QAction::toggled, this, &TResultsHistoryView::SetTabShown);
    hide();
}

void TResultsHistoryView::SetTabShown(bool shown)
{
    if (shown)
        FEverShown = true;
    if (shown == FTabShown || !FTabs)
        return;
    FTabShown = shown;
    if (shown) {
        FTabs->addTab(this, TabCaption());
    } else {
        const int index = FTabs->indexOf(this);
        if (index >= 0)
            FTabs->removeTab(index);
        hide();
    }
    if (FShowTab) {
        const QSignalBlocker block(FShowTab);
        FShowTab->setChecked(shown);
    }
}

void TResultsHistoryView::RestoreState(const TAppIniFileStorage& store)
{
    const double start = store.ReadFloat(Key("ViewStart"), 0);
    const double end = store.ReadFloat(Key("ViewEnd"), 0);
    if (std::isfinite(start) && std::isfinite(end) && end - start >= MinimumSpanDays)
        SetView(start, end);
    SetChosenTargets(store.ReadStringList(Key("Targets")));
    SetTabShown(store.ReadBoolean(Key("Shown"), false));
}

void TResultsHistoryView::SaveState(TAppIniFileStorage& store) const
{
    // Settings files of users who never turned the tab on stay as they were.
    if (!FEverShown)
        return;
    store.WriteBoolean(Key("Shown"), FTabShown);
    store.WriteFloat(Key("ViewStart"), FViewStart);
    store.WriteFloat(Key("ViewEnd"), FViewEnd);
    store.WriteStringList(Key("Targets"), ChosenTargets());
}

QStringList TResultsHistoryView::ChosenTargets() const
{
    QStringList chosen(FChosen.begin(), FChosen.end());
    chosen.sort();
    return chosen;
}

void TResultsHistoryView::SetChosenTargets(const QStringList& targets)
{
    FChosen = QSet<QString>(targets.begin(), targets.end());
    RebuildTargetMenu();
    update();
}

bool TResultsHistoryView::Chosen(int target) const
{
    return FChosen.isEmpty() || FChosen.contains(FTargets.at(target)) || FChosen.contains(FTargetServers.at(target));
}

void TResultsHistoryView::RebuildTargetMenu()
{
    FTargetMenuStale = true;
    FTargetButton->setText(FChosen.isEmpty() ? QStringLiteral("All targets")
                                             : QStringLiteral("%1 of %2 targets").arg(FChosen.size()).arg(FTargets.size()));
    FTargetButton->adjustSize();
}

void TResultsHistoryView::FillTargetMenu()
{
    if (!FTargetMenuStale)
        return;
    FTargetMenuStale = false;
    QMenu* menu = FTargetButton->menu();
    menu->clear();
    QAction* all = menu->addAction(QStringLiteral("All targets"));
    all->setCheckable(true);
    all->setChecked(FChosen.isEmpty());
    connect(all, &QAction::triggered, this, [this] { SetChosenTargets({}); });
    menu->addSeparator();
    for (int index = 0; index < FTargets.size(); ++index) {
        const QString target = FTargets.at(index);
        QPixmap swatch(10, 10);
        swatch.fill(TargetColor(index));
        QAction* action = menu->addAction(QIcon(swatch), target);
        action->setCheckable(true);
        action->setChecked(FChosen.contains(target));
        connect(action, &QAction::triggered, this, [this, target](bool checked) {
            QSet<QString> chosen = FChosen;
            if (checked)
                chosen.insert(target);
            else
                chosen.remove(target);
            SetChosenTargets(QStringList(chosen.begin(), chosen.end()));
        });
    }
}

void TResultsHistoryView::SetView(double start, double end)
{
    if (!(end - start >= MinimumSpanDays)) {
        const double middle = (start + end) / 2;
        start = middle - MinimumSpanDays / 2;
        end = middle + MinimumSpanDays / 2;
    }
    FViewStart = start;
    FViewEnd = end;
    update();
}

void TResultsHistoryView::ShowAll()
{
    FViewStart = FViewEnd = 0;
    update();
}

void TResultsHistoryView::Range(double& start, double& end) const
{
    if (FViewEnd > FViewStart) {
        start = FViewStart;
        end = FViewEnd;
        return;
    }
    if (FPoints.isEmpty()) {
        end = std::floor(DayCountDate::fromDateTime(QDateTime::currentDateTime())) + 1;
        start = end - 7;
        return;
    }
    start = FPoints.first().time;
    end = FPoints.last().time;
    const double margin = std::max((end - start) * 0.02, HourDays);
    start -= margin;
    end += margin;
}

void TResultsHistoryView::ZoomAt(double x, double factor)
{
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect());
    const double fraction = plot.width() > 0 ? std::clamp((x - plot.left()) / plot.width(), 0.0, 1.0) : 0.5;
    const double at = start + (end - start) * fraction;
    double span = std::max((end - start) * factor, MinimumSpanDays);
    SetView(at - span * fraction, at + span * (1 - fraction));
}

QRectF TResultsHistoryView::PlotRect(const QRect& rect) const
{
    const QFontMetrics metrics(font());
    const double left = metrics.horizontalAdvance(QStringLiteral("000000.0")) + 14;
    const double top = metrics.height() * 2 + 12;
    const double bottom = metrics.height() + 12;
    return QRectF(rect).adjusted(left, top, -16, -bottom);
}

double TResultsHistoryView::RateMaximum(double start, double end) const
{
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), start,
                                        [](const TPoint& p, double t) { return p.time < t; });
    double maximum = 0;
    // The plan too, so its line is in sight above results that fall short of it.
    for (auto it = first; it != FPoints.end() && it->time <= end; ++it)
        if (Chosen(it->target))
            maximum = std::max({maximum, it->rate, it->plan});
    if (!(maximum > 0))
        return 100;
    // Rounded up to a step in the unit the axis shows, so the top line is a round number.
    const double unit = maximum >= 1024.0 * 1024 ? 1024.0 * 1024 : maximum >= 1024 ? 1024 : 1;
    const double step = ChartStyle::NiceStep(maximum / unit / 5) * unit;
    return std::ceil(maximum * 1.05 / step) * step;
}

QString TResultsHistoryView::TRateAxis::Text(double kbps) const
{
    QLocale plain;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    return plain.toString(kbps / unit, 'f', decimals);
}

TResultsHistoryView::TRateAxis TResultsHistoryView::RateAxis(double start, double end, double plotHeight) const
{
    // One unit for the whole axis and fixed decimals: "4.5e+06" beside "500,000" read as
    // two different scales.
    TRateAxis axis;
    axis.maximum = RateMaximum(start, end);
    axis.unit = axis.maximum >= 1024.0 * 1024 ? 1024.0 * 1024 : axis.maximum >= 1024 ? 1024 : 1;
    axis.unitText = axis.unit > 1024 ? QStringLiteral("GB/s") : axis.unit > 1 ? QStringLiteral("MB/s") : QStringLiteral("KB/s");
    const double shownStep = ChartStyle::NiceStep(axis.maximum / axis.unit / std::max(2.0, plotHeight / 40));
    axis.step = shownStep * axis.unit;
    axis.decimals = shownStep < 1 ? int(std::ceil(-std::log10(shownStep) - 1e-9)) : 0;
    return axis;
}

QStringList TResultsHistoryView::RateLabels(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    const TRateAxis axis = RateAxis(start, end, PlotRect(rect).height());
    QStringList labels;
    for (double value = 0; value <= axis.maximum * (1 + 1e-9); value += axis.step)
        labels << axis.Text(value);
    return labels << axis.unitText;
}

QVector<TResultsHistoryView::TTick> TResultsHistoryView::Ticks(double start, double end, double width) const
{
    QVector<TTick> ticks;
    const double span = end - start;
    const int most = std::max(2, int(width / 90));
    // Minutes first, so a plot zoomed in to its closest still has a label every so often.
    constexpr double MinuteDays = HourDays / 60;
    static const double dayFactors[] = {MinuteDays,     2 * MinuteDays, 5 * MinuteDays, 10 * MinuteDays,
                                        15 * MinuteDays, 30 * MinuteDays, HourDays,     3 * HourDays,
                                        6 * HourDays,   12 * HourDays,  1,              2,
                                        7,              14};
    const QLocale loc = locale();
    for (double step : dayFactors) {
        if (span / step > most)
            continue;
        const QString format = step < 1 ? QStringLiteral("d MMM hh:mm") : QStringLiteral("d MMM yyyy");
        // Counted in whole steps from the epoch, so sums of a fractional step never drift.
        for (double n = std::ceil(start / step - 1e-9); n * step <= end; n += 1) {
            const double t = n * step;
            // A minute's tick read back from a day count must not land a second early.
            QDateTime when = DayCountDate::toDateTime(t + 0.5 / 86400);
            when.setTime(QTime(when.time().hour(), when.time().minute()));
            ticks.append({t, loc.toString(when, format)});
        }
        return ticks;
    }
    // Whole months, counted from January so labels land on the same months at any pan.
    int months = 1;
    for (int candidate : {1, 2, 3, 6, 12, 24, 60, 120}) {
        months = candidate;
        if (span / (30.44 * candidate) <= most)
            break;
    }
    const QDate first = DayCountDate::toDateTime(start).date();
    int monthIndex = first.year() * 12 + first.month() - 1;
    monthIndex = (monthIndex + months - 1) / months * months;
    for (;; monthIndex += months) {
        const QDate date(monthIndex / 12, monthIndex % 12 + 1, 1);
        const double t = DayCountDate::fromDateTime(QDateTime(date, QTime(0, 0)));
        if (t > end || !date.isValid())
            break;
        if (t >= start)
            ticks.append({t, loc.toString(date, QStringLiteral("MMM yyyy"))});
    }
    return ticks;
}

QStringList TResultsHistoryView::TimeLabels(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    QStringList labels;
    for (const TTick& tick : Ticks(start, end, PlotRect(rect).width()))
        labels << tick.text;
    return labels;
}

QVector<QPointF> TResultsHistoryView::PointPositions(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect);
    const double maximum = RateMaximum(start, end);
    QVector<QPointF> positions;
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), start,
                                        [](const TPoint& p, double t) { return p.time < t; });
    for (auto it = first; it != FPoints.end() && it->time <= end; ++it)
        if (Chosen(it->target))
            positions.append({plot.left() + (it->time - start) / (end - start) * plot.width(),
                              plot.bottom() - it->rate / maximum * plot.height()});
    return positions;
}

void TResultsHistoryView::SetPlanShare(double share)
{
    if (share == FPlanShare)
        return;
    FPlanShare = share;
    update();
}

QVector<QLineF> TResultsHistoryView::PlanLines(const QRect& rect) const
{
    QVector<QLineF> lines;
    for (const TPlanLine& run : PlanRuns(rect))
        lines.append(run.line);
    return lines;
}

QVector<TResultsHistoryView::TPlanLine> TResultsHistoryView::PlanRuns(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect);
    const double maximum = RateMaximum(start, end);
    const auto x = [&](double time) { return plot.left() + (time - start) / (end - start) * plot.width(); };
    // Per series, a run of results under one plan: from its first result to where the next
    // plan begins, and the last run on to the plot's edge, since the plan still holds.
    struct TRun
    {
        double plan = 0, from = 0;
    };
    QVector<TRun> open(FTargets.size());
    QVector<TPlanLine> lines;
    const auto close = [&](int target, const TRun& run, double until) {
        if (run.plan > 0 && until > start && run.from < end) {
            const double y = plot.bottom() - run.plan / maximum * plot.height();
            lines.append({target, QLineF(x(std::max(run.from, start)), y, x(std::min(until, end)), y)});
        }
    };
    for (const TPoint& point : FPoints) {
        if (!Chosen(point.target))
            continue;
        TRun& run = open[point.target];
        if (point.plan == run.plan)
            continue;
        close(point.target, run, point.time);
        run = {point.plan, point.time};
    }
    for (int target = 0; target < open.size(); ++target)
        close(target, open[target], end);
    return lines;
}

QVector<QPointF> TResultsHistoryView::ShadedPositions(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect);
    const double maximum = RateMaximum(start, end);
    QVector<QPointF> positions;
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), start,
                                        [](const TPoint& p, double t) { return p.time < t; });
    for (auto it = first; it != FPoints.end() && it->time <= end; ++it)
        if (Chosen(it->target) && it->BelowShare(FPlanShare))
            positions.append({plot.left() + (it->time - start) / (end - start) * plot.width(),
                              plot.bottom() - it->rate / maximum * plot.height()});
    return positions;
}

QVector<QVector<QVector<QPointF>>> TResultsHistoryView::Medians(double start, double end, double bucketDays) const
{
    struct TBucket
    {
        double index = NAN;
        double firstTime = 0, lastTime = 0;
        QVector<double> rates;
    };
    QVector<QVector<QVector<QPointF>>> runs(FTargets.size());
    QVector<TBucket> open(FTargets.size());
    QVector<double> lastIndex(FTargets.size(), NAN);
    auto flush = [&](int target) {
        TBucket& bucket = open[target];
        QVector<double>& values = bucket.rates;
        if (values.isEmpty())
            return;
        const auto middle = values.begin() + values.size() / 2;
        std::nth_element(values.begin(), middle, values.end());
        double median = *middle;
        if (values.size() % 2 == 0)
            median = (median + *std::max_element(values.begin(), middle)) / 2;
        // A bucket after an empty one starts a line of its own: no line crosses hours
        // without a test, and none reaches past the last result.
        if (runs[target].isEmpty() || bucket.index != lastIndex[target] + 1)
            runs[target].append(QVector<QPointF>());
        runs[target].last() << QPointF(bucket.firstTime, median) << QPointF(bucket.lastTime, median);
        lastIndex[target] = bucket.index;
        values.clear();
    };
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), start - bucketDays,
                                        [](const TPoint& p, double t) { return p.time < t; });
    for (auto it = first; it != FPoints.end() && it->time <= end + bucketDays; ++it) {
        if (!Chosen(it->target))
            continue;
        const double index = std::floor(it->time / bucketDays);
        TBucket& bucket = open[it->target];
        if (index != bucket.index) {
            flush(it->target);
            bucket.index = index;
            bucket.firstTime = it->time;
        }
        bucket.lastTime = it->time;
        bucket.rates.append(it->rate);
    }
    for (int target = 0; target < FTargets.size(); ++target)
        flush(target);
    return runs;
}

double TResultsHistoryView::BucketDays(double start, double end)
{
    return end - start > 3 ? 1.0 : HourDays;
}

QVector<QPolygonF> TResultsHistoryView::MedianLines(const QRect& rect) const
{
    QVector<QPolygonF> lines;
    for (const TMedianLine& line : MedianPolylines(rect))
        lines.append(line.points);
    return lines;
}

QVector<TResultsHistoryView::TMedianLine> TResultsHistoryView::MedianPolylines(const QRect& rect) const
{
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect);
    const double maximum = RateMaximum(start, end);
    const double scale = plot.width() / (end - start);
    QVector<TMedianLine> lines;
    const QVector<QVector<QVector<QPointF>>> medians = Medians(start, end, BucketDays(start, end));
    for (int target = 0; target < medians.size(); ++target)
        for (const QVector<QPointF>& run : medians[target]) {
            QPolygonF line;
            for (const QPointF& m : run)
                line << QPointF(plot.left() + (m.x() - start) * scale, plot.bottom() - m.y() / maximum * plot.height());
            // A bucket of one result, or of results close together, still shows its median
            // as a short stroke beside the dots.
            if (line.last().x() - line.first().x() < 2 * DotRadius + 4) {
                line.first().rx() -= DotRadius + 2;
                line.last().rx() += DotRadius + 2;
            }
            lines.append({target, line});
        }
    return lines;
}

void TResultsHistoryView::Draw(QPainter& painter, const QRect& rect) const
{
    painter.save();
    painter.setClipRect(rect);
    ChartStyle::FillPanel(painter, rect);
    const QFontMetrics metrics(painter.font());
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QRectF(rect.left(), rect.top() + 4, rect.width(), metrics.height()), Qt::AlignHCenter,
                     Title());

    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect);
    if (plot.width() < 10 || plot.height() < 10) {
        painter.restore();
        return;
    }
    const TRateAxis axis = RateAxis(start, end, plot.height());
    const double maximum = axis.maximum;
    painter.fillRect(plot, Qt::white);

    // Rate axis: grid lines at a round step, in one unit.
    for (double value = 0; value <= maximum * (1 + 1e-9); value += axis.step) {
        const double y = plot.bottom() - value / maximum * plot.height();
        painter.setPen(ChartStyle::GridLine);
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRectF(rect.left(), y - metrics.height() / 2.0, plot.left() - rect.left() - 6,
                                metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, axis.Text(value));
    }
    painter.save();
    painter.translate(rect.left() + 2, plot.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-plot.height() / 2, 0, plot.height(), metrics.height()), Qt::AlignCenter,
                     axis.unitText);
    painter.restore();

    // Time axis.
    const double scale = plot.width() / (end - start);
    for (const TTick& tick : Ticks(start, end, plot.width())) {
        const double x = plot.left() + (tick.time - start) * scale;
        painter.setPen(ChartStyle::GridLine);
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(QRectF(x - 60, plot.bottom() + 4, 120, metrics.height()), Qt::AlignHCenter, tick.text);
    }

    // The dots go straight into an image: a hundred thousand small rectangles through the
    // painter would hold the window far too long.
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    QImage dots((plot.size() * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    dots.setDevicePixelRatio(ratio);
    dots.fill(Qt::transparent);
    QVector<QRgb> colours(FTargets.size());
    for (int target = 0; target < FTargets.size(); ++target)
        colours[target] = TargetColor(target).rgba();
    const int w = dots.width(), h = dots.height();
    const double xScale = scale * ratio, yScale = plot.height() * ratio / maximum;
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), start,
                                        [](const TPoint& p, double t) { return p.time < t; });
    const int radius = std::max(1, int(std::lround(DotRadius * ratio)));
    // Results short of the plan's share sit on a pale red square, under every dot.
    const int shade = std::max(radius + 1, int(std::lround(ShadeRadius * ratio)));
    const QRgb shadeColour = ChartStyle::BelowPlanShade.rgba();
    for (auto it = first; it != FPoints.end() && it->time <= end; ++it) {
        if (!Chosen(it->target) || !it->BelowShare(FPlanShare))
            continue;
        const int cx = int(std::lround((it->time - start) * xScale));
        const int cy = std::min(h - 1, int(std::lround(h - it->rate * yScale)));
        for (int y = std::max(0, cy - shade); y <= std::min(h - 1, cy + shade); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(dots.scanLine(y));
            for (int x = std::max(0, cx - shade); x <= std::min(w - 1, cx + shade); ++x)
                line[x] = shadeColour;
        }
    }
    for (auto it = first; it != FPoints.end() && it->time <= end; ++it) {
        if (!Chosen(it->target))
            continue;
        // Centred where PointPositions says, so the tooltip and the eye agree.
        const int cx = int(std::lround((it->time - start) * xScale));
        const int cy = std::min(h - 1, int(std::lround(h - it->rate * yScale)));
        const QRgb colour = colours[it->target];
        for (int y = std::max(0, cy - radius); y <= std::min(h - 1, cy + radius); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(dots.scanLine(y));
            for (int x = std::max(0, cx - radius); x <= std::min(w - 1, cx + radius); ++x)
                line[x] = colour;
        }
    }
    painter.drawImage(plot.topLeft(), dots);

    // Medians per day, or per hour once a few days fill the plot, each in its series' colour,
    // over the dots: a year of dots would hide the trend otherwise.
    painter.setClipRect(plot);
    for (const TMedianLine& line : MedianPolylines(rect)) {
        // Smooth wide strokes cost far too much once buckets crowd the plot; a plain line
        // looks the same there.
        const bool crowded = line.points.size() > plot.width() / 4;
        painter.setRenderHint(QPainter::Antialiasing, !crowded);
        painter.setPen(QPen(TargetColor(line.target).darker(150), crowded ? 0 : 1.5));
        painter.drawPolyline(line.points);
    }
    painter.setRenderHint(QPainter::Antialiasing, false);

    // Each series' plan, dashed in its colour.
    for (const TPlanLine& run : PlanRuns(rect)) {
        painter.setPen(QPen(TargetColor(run.target).darker(130), 1.5, Qt::DashLine));
        painter.drawLine(run.line);
    }

    painter.setClipRect(rect);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(ChartStyle::WallEdge);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(plot);
    painter.restore();
}

QString TResultsHistoryView::ToolTipAt(const QPoint& pos) const
{
    if (!FTable)
        return {};
    double start, end;
    Range(start, end);
    const QRectF plot = PlotRect(rect());
    if (!plot.adjusted(-HitPixels, -HitPixels, HitPixels, HitPixels).contains(pos))
        return {};
    const double maximum = RateMaximum(start, end);
    const double daysPerPixel = (end - start) / plot.width();
    const double at = start + (pos.x() - plot.left()) * daysPerPixel;
    const auto first = std::lower_bound(FPoints.begin(), FPoints.end(), at - HitPixels * daysPerPixel,
                                        [](const TPoint& p, double t) { return p.time < t; });
    const TPoint* best = nullptr;
    double bestDistance = HitPixels * HitPixels * 2 + 1;
    for (auto it = first; it != FPoints.end() && it->time <= at + HitPixels * daysPerPixel; ++it) {
        if (!Chosen(it->target))
            continue;
        const double dx = (it->time - at) / daysPerPixel;
        const double dy = plot.bottom() - it->rate / maximum * plot.height() - pos.y();
        const double distance = dx * dx + dy * dy;
        if (std::abs(dy) <= HitPixels && distance < bestDistance) {
            bestDistance = distance;
            best = &*it;
        }
    }
    if (!best || best->row >= FTable->RecordCount())
        return {};
    // The series first: the chart's label names neither the port nor the direction.
    return FTargets.at(best->target) + QLatin1Char('\n')
           + XLabelText(FTable->Row(best->row), locale()).replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

void TResultsHistoryView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Draw(painter, rect());
}

void TResultsHistoryView::wheelEvent(QWheelEvent* event)
{
    const int steps = event->angleDelta().y();
    if (steps == 0) {
        event->ignore();
        return;
    }
    ZoomAt(event->position().x(), std::pow(WheelStepZoom, steps / 120.0));
    event->accept();
}

void TResultsHistoryView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    FDragging = true;
    FDragFrom = event->position().toPoint();
    Range(FDragStart, FDragEnd);
    setCursor(Qt::ClosedHandCursor);
}

void TResultsHistoryView::mouseMoveEvent(QMouseEvent* event)
{
    if (!FDragging)
        return QWidget::mouseMoveEvent(event);
    const double width = PlotRect(rect()).width();
    if (width <= 0)
        return;
    const double shift = (event->position().x() - FDragFrom.x()) / width * (FDragEnd - FDragStart);
    SetView(FDragStart - shift, FDragEnd - shift);
}

void TResultsHistoryView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && FDragging) {
        FDragging = false;
        unsetCursor();
    }
    QWidget::mouseReleaseEvent(event);
}

void TResultsHistoryView::mouseDoubleClickEvent(QMouseEvent*)
{
    ShowAll();
}

bool TResultsHistoryView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = ToolTipAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }
    return QWidget::event(event);
}
