#include "report/TReportRenderer.h"

#include "report/EReportError.h"

#include <QDate>
#include <QFont>
#include <QFontMetricsF>
#include <QLocale>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPrinter>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

struct TReportRenderer::Metrics
{
    double dpi = 0;
    QRectF content; // device pixels, origin at the top-left margin corner
    QFont titleFont, headerFont, captionFont, memoHeadingFont, memoFont, footerFont;
    double titleHeight = 0, runningHeaderHeight = 0, footerHeight = 0;
    double memoLineHeight = 0, memoHeadingHeight = 0, chartBlockHeight = 0, historyBlockHeight = 0;

    double mm(double millimetres) const { return millimetres * dpi / 25.4; }
};

struct TReportRenderer::Prepared
{
    Metrics metrics;
    QStringList lines; // the log wrapped to the page width
    QList<Page> pages;
};

namespace {

QFont makeFont(const TReportLayout::Font &spec, QPaintDevice *device, bool bold = false)
{
    QFont font(spec.family);
    font.setPointSizeF(spec.pointSize);
    font.setBold(bold);
    if (spec.family.compare(u"Monospace", Qt::CaseInsensitive) == 0)
        font.setStyleHint(QFont::TypeWriter);
    else if (spec.family.compare(u"Serif", Qt::CaseInsensitive) == 0)
        font.setStyleHint(QFont::Serif);
    else
        font.setStyleHint(QFont::SansSerif);
    return QFont(font, device);
}

// Tabs would print as boxes; the log aligns to 8 columns.
QString expandTabs(const QString &line)
{
    if (!line.contains(u'\t'))
        return line;
    QString out;
    for (QChar c : line) {
        if (c == u'\t')
            out.append(QString(8 - out.size() % 8, u' '));
        else
            out.append(c);
    }
    return out;
}

QString pageNumberText(const QString &pattern, int page, int count)
{
    QString text = pattern;
    text.replace(u"%p"_qs, QString::number(page));
    text.replace(u"%n"_qs, QString::number(count));
    return text;
}

} // namespace

TReportRenderer::TReportRenderer(const TReportLayout &layout, const TReportContent &content)
    : FLayout(layout), FContent(content)
{
}

TReportRenderer::Picture TReportRenderer::chartPicture() const
{
    return {FContent.picture, FLayout.chartCaption, FLayout.chartScale, FLayout.chartMaxHeightMm,
            FLayout.chartFrame, QStringLiteral("(no chart picture)")};
}

TReportRenderer::Picture TReportRenderer::historyPicture() const
{
    const TReportLayout::History &h = FLayout.history;
    return {FContent.historyPicture, h.caption, h.scale, h.maxHeightMm, h.frame,
            QStringLiteral("(no history picture)")};
}

QRectF TReportRenderer::pictureRect(const Metrics &m, const Picture &picture, double top) const
{
    const double captionHeight = picture.caption.isEmpty()
        ? 0 : QFontMetricsF(m.captionFont).lineSpacing() + m.mm(1.5);
    const double maxHeight = std::min(m.mm(picture.maxHeightMm),
                                      m.content.height() - m.titleHeight - m.footerHeight
                                          - captionHeight - m.mm(4));
    double width = m.content.width();
    double height = maxHeight;
    if (picture.scale == TReportLayout::ChartScale::Fit) {
        const QSizeF source = picture.image.isNull() ? QSizeF(1024, 768)
                                                     : QSizeF(picture.image.size());
        const QSizeF fitted = source.scaled(QSizeF(width, maxHeight), Qt::KeepAspectRatio);
        width = fitted.width();
        height = fitted.height();
    }
    return QRectF(m.content.left() + (m.content.width() - width) / 2, top + captionHeight,
                  width, height);
}

void TReportRenderer::wrapLine(const Metrics &m, const QString &raw, QStringList &wrapped) const
{
    const QString line = expandTabs(raw);
    if (line.isEmpty()) {
        wrapped.append(QString());
        return;
    }
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QTextLayout textLayout(line, m.memoFont);
    textLayout.setTextOption(option);
    textLayout.beginLayout();
    for (QTextLine tl = textLayout.createLine(); tl.isValid(); tl = textLayout.createLine()) {
        tl.setLineWidth(m.content.width());
        wrapped.append(line.mid(tl.textStart(), tl.textLength()));
    }
    textLayout.endLayout();
}

QList<TReportRenderer::Page> TReportRenderer::paginate(const Metrics &m, QStringList &lines,
                                                       const Progress &generating,
                                                       bool &cancelled) const
{
    // Log lines are wrapped as the pages take them, so the page progress covers
    // the wrapping, which is most of the work for a long log.
    const QStringList raw = FContent.memoLines();
    qsizetype nextRaw = 0;
    auto haveLine = [&](int index) {
        while (index >= lines.size() && nextRaw < raw.size())
            wrapLine(m, raw[nextRaw++], lines);
        return index < lines.size();
    };

    QList<Page> pages;
    const double bottom = m.content.bottom() - m.footerHeight;
    int next = 0;
    bool chartPlaced = false;
    bool historyPlaced = !FLayout.history.print;
    bool headingPlaced = FLayout.memoHeading.isEmpty();
    const bool chartFirst = FLayout.chartPosition == TReportLayout::ChartPosition::FirstPage;
    do {
        Page page;
        double y = m.content.top() + (pages.isEmpty() ? m.titleHeight : m.runningHeaderHeight);
        if (chartFirst && !chartPlaced) {
            page.chart = true;
            page.chartTop = y;
            y += m.chartBlockHeight;
            chartPlaced = true;
        }
        page.firstLine = next;
        if (!headingPlaced && haveLine(next)) {
            // The heading never stands alone at the foot of a page.
            if (y + m.memoHeadingHeight + m.memoLineHeight <= bottom) {
                page.memoHeading = true;
                headingPlaced = true;
                y += m.memoHeadingHeight;
            }
        }
        while (headingPlaced && y + m.memoLineHeight <= bottom && haveLine(next)) {
            y += m.memoLineHeight;
            ++next;
        }
        page.lineCount = next - page.firstLine;
        if (!chartFirst && !chartPlaced && !haveLine(next)
            && (y + m.chartBlockHeight <= bottom || page.lineCount == 0)) {
            page.chart = true;
            page.chartTop = y + (page.lineCount > 0 ? m.mm(4) : 0);
            chartPlaced = true;
            y = page.chartTop + m.chartBlockHeight;
        }
        // The history comes last, after the log and a chart printed there.
        if (chartPlaced && !historyPlaced && !haveLine(next)) {
            const bool pageEmpty = page.lineCount == 0 && !page.chart && !page.memoHeading;
            const bool afterLines = page.lineCount > 0 && !(page.chart && !chartFirst);
            const double top = y + (afterLines ? m.mm(4) : 0);
            if (top + m.historyBlockHeight <= bottom || pageEmpty) {
                page.history = true;
                page.historyTop = pageEmpty ? y : top;
                historyPlaced = true;
            }
        }
        pages.append(page);
        if (generating && !generating(int(pages.size()))) {
            cancelled = true;
            return {};
        }
        // A page that takes nothing would loop forever; the layout check keeps room for a line.
        if (!page.chart && !page.history && page.lineCount == 0 && !page.memoHeading
            && pages.size() > 1)
            throw EReportError(QStringLiteral("The report layout leaves no room for the log"));
    } while (haveLine(next) || !chartPlaced || !historyPlaced);
    return pages;
}

std::shared_ptr<const TReportRenderer::Prepared>
TReportRenderer::Prepare(QPagedPaintDevice &device, const Progress &generating) const
{
    device.setPageLayout(FLayout.pageLayout());

    auto prepared = std::make_shared<Prepared>();
    Metrics &m = prepared->metrics;
    m.dpi = device.logicalDpiX();
    const QRect paintRect = device.pageLayout().paintRectPixels(device.logicalDpiX());
    m.content = QRectF(0, 0, paintRect.width(), paintRect.height());
    m.titleFont = makeFont(FLayout.titleFont, &device, true);
    m.headerFont = makeFont(FLayout.footerFont, &device);
    m.captionFont = makeFont(FLayout.footerFont, &device, true);
    m.memoHeadingFont = makeFont({FLayout.titleFont.family, FLayout.titleFont.pointSize * 0.65},
                                 &device, true);
    m.memoFont = makeFont(FLayout.memoFont, &device);
    m.footerFont = makeFont(FLayout.footerFont, &device);

    m.titleHeight = QFontMetricsF(m.titleFont).lineSpacing() + m.mm(2) + m.mm(5);
    m.runningHeaderHeight = FLayout.runningHeader.isEmpty()
        ? 0 : QFontMetricsF(m.headerFont).lineSpacing() + m.mm(1.5) + m.mm(4);
    m.footerHeight = FLayout.pageNumber.isEmpty()
        ? 0 : QFontMetricsF(m.footerFont).lineSpacing() + m.mm(4);
    m.memoLineHeight = QFontMetricsF(m.memoFont).lineSpacing();
    m.memoHeadingHeight = QFontMetricsF(m.memoHeadingFont).lineSpacing() + m.mm(2);
    m.chartBlockHeight = pictureRect(m, chartPicture(), 0).bottom() + m.mm(7);
    if (FLayout.history.print)
        m.historyBlockHeight = pictureRect(m, historyPicture(), 0).bottom() + m.mm(7);

    bool cancelled = false;
    prepared->pages = paginate(m, prepared->lines, generating, cancelled);
    if (cancelled)
        return {};
    return prepared;
}

int TReportRenderer::PageCount(const Prepared &pages)
{
    return int(pages.pages.size());
}

int TReportRenderer::Paint(QPagedPaintDevice &device, const Prepared &prepared,
                           const Progress &output) const
{
    device.setPageLayout(FLayout.pageLayout());
    const Metrics &m = prepared.metrics;
    const QRect paintRect = device.pageLayout().paintRectPixels(device.logicalDpiX());
    if (device.logicalDpiX() != m.dpi || paintRect.size() != m.content.size().toSize())
        throw EReportError(QStringLiteral("The report pages were laid out for another device"));

    QPainter painter;
    if (!painter.begin(&device))
        throw EReportError(QStringLiteral("The report output could not be started"));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    const QList<Page> &pages = prepared.pages;
    for (int i = 0; i < pages.size(); ++i) {
        if (output && !output(i + 1)) {
            if (auto *printer = dynamic_cast<QPrinter *>(&device))
                printer->abort();
            painter.end();
            return 0;
        }
        if (i > 0 && !device.newPage())
            throw EReportError(QStringLiteral("The report output could not start page %1")
                                   .arg(i + 1));
        paintPage(painter, m, prepared.lines, pages[i], i + 1, int(pages.size()));
    }
    if (!painter.end())
        throw EReportError(QStringLiteral("The report output could not be finished"));
    return int(pages.size());
}

int TReportRenderer::Render(QPagedPaintDevice &device, const Progress &generating,
                            const Progress &output) const
{
    // Laid out before the device is opened, so a cancel starts no print job.
    const std::shared_ptr<const Prepared> prepared = Prepare(device, generating);
    return prepared ? Paint(device, *prepared, output) : 0;
}

void TReportRenderer::paintPage(QPainter &painter, const Metrics &m, const QStringList &lines,
                                const Page &page, int pageNumber, int pageCount) const
{
    const QColor ink(0x20, 0x20, 0x20);
    const QColor rule(0x80, 0x80, 0x80);
    const QColor accent(0x1f, 0x4e, 0x79);
    QPen rulePen(rule);
    rulePen.setWidthF(m.mm(0.25));

    // Header: the title on the first page, a small running header on the rest.
    double y = m.content.top();
    if (pageNumber == 1) {
        const QFontMetricsF fm(m.titleFont);
        painter.setFont(m.titleFont);
        painter.setPen(accent);
        painter.drawText(QPointF(m.content.left(), y + fm.ascent()), FLayout.title);
        if (FLayout.showDate) {
            painter.setFont(m.headerFont);
            painter.setPen(ink);
            const QString date = QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat);
            const double w = QFontMetricsF(m.headerFont).horizontalAdvance(date);
            painter.drawText(QPointF(m.content.right() - w, y + fm.ascent()), date);
        }
        y += fm.lineSpacing() + m.mm(2);
        QPen titleRule(accent);
        titleRule.setWidthF(m.mm(0.6));
        painter.setPen(titleRule);
        painter.drawLine(QPointF(m.content.left(), y), QPointF(m.content.right(), y));
    } else if (!FLayout.runningHeader.isEmpty()) {
        const QFontMetricsF fm(m.headerFont);
        painter.setFont(m.headerFont);
        painter.setPen(rule);
        painter.drawText(QPointF(m.content.left(), y + fm.ascent()), FLayout.runningHeader);
        y += fm.lineSpacing() + m.mm(1.5);
        painter.setPen(rulePen);
        painter.drawLine(QPointF(m.content.left(), y), QPointF(m.content.right(), y));
    }

    if (page.chart && FLayout.chartPosition == TReportLayout::ChartPosition::FirstPage)
        paintPicture(painter, m, chartPicture(), page.chartTop);

    // Memo lines follow the chart block when it is on this page.
    y = m.content.top() + (pageNumber == 1 ? m.titleHeight : m.runningHeaderHeight);
    if (page.chart && FLayout.chartPosition == TReportLayout::ChartPosition::FirstPage)
        y = page.chartTop + m.chartBlockHeight;
    if (page.memoHeading) {
        const QFontMetricsF fm(m.memoHeadingFont);
        painter.setFont(m.memoHeadingFont);
        painter.setPen(accent);
        painter.drawText(QPointF(m.content.left(), y + fm.ascent()), FLayout.memoHeading);
        y += m.memoHeadingHeight;
    }
    painter.setFont(m.memoFont);
    painter.setPen(ink);
    const double ascent = QFontMetricsF(m.memoFont).ascent();
    for (int i = 0; i < page.lineCount; ++i) {
        painter.drawText(QPointF(m.content.left(), y + ascent), lines[page.firstLine + i]);
        y += m.memoLineHeight;
    }

    if (page.chart && FLayout.chartPosition == TReportLayout::ChartPosition::LastPage)
        paintPicture(painter, m, chartPicture(), page.chartTop);
    if (page.history)
        paintPicture(painter, m, historyPicture(), page.historyTop);

    if (!FLayout.pageNumber.isEmpty()) {
        const QFontMetricsF fm(m.footerFont);
        const double footerTop = m.content.bottom() - fm.lineSpacing();
        painter.setPen(rulePen);
        painter.drawLine(QPointF(m.content.left(), footerTop - m.mm(1.5)),
                         QPointF(m.content.right(), footerTop - m.mm(1.5)));
        painter.setFont(m.footerFont);
        painter.setPen(ink);
        const QString text = pageNumberText(FLayout.pageNumber, pageNumber, pageCount);
        const double w = fm.horizontalAdvance(text);
        painter.drawText(QPointF(m.content.center().x() - w / 2, footerTop + fm.ascent()), text);
    }
}

void TReportRenderer::paintPicture(QPainter &painter, const Metrics &m, const Picture &picture,
                                   double top) const
{
    const QColor ink(0x20, 0x20, 0x20);
    const QColor rule(0x80, 0x80, 0x80);
    QPen rulePen(rule);
    rulePen.setWidthF(m.mm(0.25));

    const QRectF target = pictureRect(m, picture, top);
    if (!picture.caption.isEmpty()) {
        painter.setFont(m.captionFont);
        painter.setPen(ink);
        painter.drawText(QPointF(target.left(), top + QFontMetricsF(m.captionFont).ascent()),
                         picture.caption);
    }
    if (picture.image.isNull()) {
        painter.setFont(m.footerFont);
        painter.setPen(rule);
        painter.drawText(target, Qt::AlignCenter, picture.missingText);
    } else {
        painter.drawImage(target, picture.image);
    }
    if (picture.frame) {
        painter.setPen(rulePen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(target);
    }
}
