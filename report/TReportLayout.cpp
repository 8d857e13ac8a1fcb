#include "report/TReportLayout.h"

#include "report/EReportError.h"

#include <QFile>
#include <QFileInfo>
#include <QRectF>
#include <QRegularExpression>
#include <QSizeF>
#include <QStringList>

namespace {

constexpr int SupportedVersion = 1;

class LineError
{
public:
    explicit LineError(QString text) : message(std::move(text)) {}
    QString message;
};

double parseNumber(const QString &value, double min, double max)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!ok || !(number >= min && number <= max))
        throw LineError(QStringLiteral("\"%1\" is not a number from %2 to %3")
                            .arg(value).arg(min).arg(max));
    return number;
}

bool parseBool(const QString &value)
{
    const QString v = value.toLower();
    if (v == u"yes" || v == u"true" || v == u"1")
        return true;
    if (v == u"no" || v == u"false" || v == u"0")
        return false;
    throw LineError(QStringLiteral("\"%1\" is neither Yes nor No").arg(value));
}

QString requireField(const QString &value, const QString &expected)
{
    if (value.compare(expected, Qt::CaseInsensitive) != 0)
        throw LineError(QStringLiteral("the report has no field \"%1\" here; expected %2")
                            .arg(value, expected));
    return value;
}

TReportLayout::ChartScale parseScale(const QString &value)
{
    if (value.compare(u"fit", Qt::CaseInsensitive) == 0)
        return TReportLayout::ChartScale::Fit;
    if (value.compare(u"stretch", Qt::CaseInsensitive) == 0)
        return TReportLayout::ChartScale::Stretch;
    throw LineError(QStringLiteral("scale must be Fit or Stretch"));
}

QPageSize parsePageSize(const QString &value)
{
    const QString v = value.toLower();
    if (v == u"a4") return QPageSize(QPageSize::A4);
    if (v == u"a5") return QPageSize(QPageSize::A5);
    if (v == u"letter") return QPageSize(QPageSize::Letter);
    if (v == u"legal") return QPageSize(QPageSize::Legal);
    static const QRegularExpression custom(QStringLiteral("^(\\d+(?:\\.\\d+)?)\\s*x\\s*(\\d+(?:\\.\\d+)?)$"));
    const auto match = custom.match(v);
    if (match.hasMatch()) {
        const double w = match.captured(1).toDouble();
        const double h = match.captured(2).toDouble();
        if (w >= 50 && h >= 50 && w <= 2000 && h <= 2000)
            return QPageSize(QSizeF(w, h), QPageSize::Millimeter);
    }
    throw LineError(QStringLiteral("unknown page size \"%1\"").arg(value));
}

} // namespace

QPageLayout TReportLayout::pageLayout() const
{
    return QPageLayout(pageSize, orientation, marginsMm, QPageLayout::Millimeter);
}

TReportLayout TReportLayout::Load(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EReportError(QStringLiteral("Cannot read the report layout \"%1\": %2")
                               .arg(QFileInfo(fileName).absoluteFilePath(), file.errorString()));
    return Parse(file.readAll(), QFileInfo(fileName).absoluteFilePath());
}

TReportLayout TReportLayout::Parse(const QByteArray &text, const QString &fileName)
{
    TReportLayout layout;
    QString section;
    bool versionSeen = false;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        try {
            if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
                continue;
            if (line.startsWith(u'[')) {
                if (!line.endsWith(u']'))
                    throw LineError(QStringLiteral("a section name must end with ]"));
                section = line.mid(1, line.size() - 2).trimmed().toLower();
                static const QStringList known{u"report"_qs, u"page"_qs, u"title"_qs,
                                               u"chart"_qs, u"memo"_qs, u"footer"_qs,
                                               u"history"_qs, u"planreport"_qs};
                if (!known.contains(section))
                    throw LineError(QStringLiteral("unknown section [%1]").arg(section));
                continue;
            }
            const qsizetype eq = line.indexOf(u'=');
            if (eq <= 0)
                throw LineError(QStringLiteral("expected Key=Value"));
            if (section.isEmpty())
                throw LineError(QStringLiteral("a value before the first [Section]"));
            const QString key = line.left(eq).trimmed().toLower();
            const QString value = line.mid(eq + 1).trimmed();
            const QString at = section + u'.' + key;

            if (at == u"report.version") {
                if (parseNumber(value, 1, 1000) != SupportedVersion)
                    throw LineError(QStringLiteral("layout version %1 is not supported").arg(value));
                versionSeen = true;
            } else if (at == u"report.connection") requireField(value, u"connKrvn"_qs);
            else if (at == u"page.size") layout.pageSize = parsePageSize(value);
            else if (at == u"page.orientation") {
                if (value.compare(u"portrait", Qt::CaseInsensitive) == 0)
                    layout.orientation = QPageLayout::Portrait;
                else if (value.compare(u"landscape", Qt::CaseInsensitive) == 0)
                    layout.orientation = QPageLayout::Landscape;
                else
                    throw LineError(QStringLiteral("orientation must be Portrait or Landscape"));
            }
            else if (at == u"page.marginleft") layout.marginsMm.setLeft(parseNumber(value, 0, 100));
            else if (at == u"page.margintop") layout.marginsMm.setTop(parseNumber(value, 0, 100));
            else if (at == u"page.marginright") layout.marginsMm.setRight(parseNumber(value, 0, 100));
            else if (at == u"page.marginbottom") layout.marginsMm.setBottom(parseNumber(value, 0, 100));
            else if (at == u"title.text") layout.title = value;
            else if (at == u"title.font") layout.titleFont.family = value;
            else if (at == u"title.size") layout.titleFont.pointSize = parseNumber(value, 4, 72);
            else if (at == u"title.showdate") layout.showDate = parseBool(value);
            else if (at == u"title.runningheader") layout.runningHeader = value;
            else if (at == u"chart.field") requireField(value, u"SpeedGrp"_qs);
            else if (at == u"chart.position") {
                if (value.compare(u"firstpage", Qt::CaseInsensitive) == 0)
                    layout.chartPosition = ChartPosition::FirstPage;
                else if (value.compare(u"lastpage", Qt::CaseInsensitive) == 0)
                    layout.chartPosition = ChartPosition::LastPage;
                else
                    throw LineError(QStringLiteral("position must be FirstPage or LastPage"));
            }
            else if (at == u"chart.scale") layout.chartScale = parseScale(value);
            else if (at == u"chart.maxheight") layout.chartMaxHeightMm = parseNumber(value, 10, 1000);
            else if (at == u"chart.caption") layout.chartCaption = value;
            else if (at == u"chart.frame") layout.chartFrame = parseBool(value);
            else if (at == u"history.print") layout.history.print = parseBool(value);
            else if (at == u"history.field") requireField(value, u"HistoryGrp"_qs);
            else if (at == u"history.scale") layout.history.scale = parseScale(value);
            else if (at == u"history.maxheight") layout.history.maxHeightMm = parseNumber(value, 10, 1000);
            else if (at == u"history.caption") layout.history.caption = value;
            else if (at == u"history.frame") layout.history.frame = parseBool(value);
            else if (at == u"planreport.title") layout.planReport.title = value;
            else if (at == u"planreport.heading") layout.planReport.memoHeading = value;
            else if (at == u"planreport.caption") layout.planReport.chartCaption = value;
            else if (at == u"memo.field") requireField(value, u"SpeedLog"_qs);
            else if (at == u"memo.heading") layout.memoHeading = value;
            else if (at == u"memo.font") layout.memoFont.family = value;
            else if (at == u"memo.size") layout.memoFont.pointSize = parseNumber(value, 4, 72);
            else if (at == u"footer.pagenumber") layout.pageNumber = value;
            else if (at == u"footer.font") layout.footerFont.family = value;
            else if (at == u"footer.size") layout.footerFont.pointSize = parseNumber(value, 4, 72);
            else
                throw LineError(QStringLiteral("unknown key \"%1\" in [%2]")
                                    .arg(line.left(eq).trimmed(), section));
        } catch (const LineError &e) {
            throw EReportError(QStringLiteral("Report layout \"%1\", line %2: %3")
                                   .arg(fileName).arg(i + 1).arg(e.message));
        }
    }
    if (!versionSeen)
        throw EReportError(QStringLiteral("Report layout \"%1\" is not a Korvane report layout "
                                          "(no Version in [Report])").arg(fileName));

    // The page must leave room for the content once margins are taken off.
    const QSizeF page = layout.pageLayout().fullRect(QPageLayout::Millimeter).size();
    if (page.width() - layout.marginsMm.left() - layout.marginsMm.right() < 40
        || page.height() - layout.marginsMm.top() - layout.marginsMm.bottom() < 60)
        throw EReportError(QStringLiteral("Report layout \"%1\": the margins leave too little "
                                          "room on the page").arg(fileName));
    return layout;
}

TReportLayout TReportLayout::ForReport(const QString &report) const
{
    TReportLayout other = *this;
    // Titled as the report asked for; the one known besides the default has its own words.
    other.title = other.runningHeader = report == planReport.name ? planReport.title : report;
    if (report == planReport.name) {
        other.memoHeading = planReport.memoHeading;
        other.chartCaption = planReport.chartCaption;
    }
    other.chartPosition = ChartPosition::FirstPage;
    other.history.print = false;
    return other;
}
