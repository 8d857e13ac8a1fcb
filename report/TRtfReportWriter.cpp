#include "report/TRtfReportWriter.h"

#include "report/EReportError.h"

#include <QBuffer>
#include <QDate>
#include <QLocale>

#include <cmath>

namespace {

int twips(double millimetres)
{
    return int(std::lround(millimetres * 1440.0 / 25.4));
}

// RTF readers know real font names, not generic families.
QByteArray fontEntry(int index, const QString &family)
{
    QByteArray kind = "\\fswiss";
    QString name = family;
    if (family.compare(u"Monospace", Qt::CaseInsensitive) == 0) {
        kind = "\\fmodern";
        name = u"Courier New"_qs;
    } else if (family.compare(u"Serif", Qt::CaseInsensitive) == 0) {
        kind = "\\froman";
        name = u"Times New Roman"_qs;
    } else if (family.compare(u"Sans Serif", Qt::CaseInsensitive) == 0) {
        name = u"Arial"_qs;
    }
    return "{\\f" + QByteArray::number(index) + kind + ' ' + TRtfReportWriter::TextToRtf(name) + ";}";
}

QByteArray halfPoints(double points)
{
    return QByteArray::number(int(std::lround(points * 2)));
}

} // namespace

TRtfReportWriter::TRtfReportWriter()
    : TReportFileWriter(QStringLiteral("Rich Text Format (RTF)"), QStringLiteral("*.rtf"))
{
}

QByteArray TRtfReportWriter::TextToRtf(const QString &text)
{
    QByteArray rtf;
    rtf.reserve(text.size() + 16);
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\' || u == '{' || u == '}') {
            rtf += '\\';
            rtf += char(u);
        } else if (u == '\t') {
            rtf += "\\tab ";
        } else if (u < 0x20) {
            // other control characters have no place in a paragraph
        } else if (u < 0x80) {
            rtf += char(u);
        } else {
            // \uN takes a signed 16-bit number; surrogate halves go one by one. The
            // "?" fallback is written as \'3f, which every reader skips correctly.
            rtf += "\\u" + QByteArray::number(int(qint16(u))) + "\\'3f";
        }
    }
    return rtf;
}

bool TRtfReportWriter::Write(const QString &fileName, const TReportLayout &layout,
                             const TReportContent &content,
                             const TReportRenderer::Progress &generating,
                             const TReportRenderer::Progress &output)
{
    if ((generating && !generating(1)) || (output && !output(1)))
        return false;

    const QPageLayout page = layout.pageLayout();
    const QSizeF paper = page.fullRect(QPageLayout::Millimeter).size();
    const QMarginsF margins = layout.marginsMm;

    QByteArray rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl"
        + fontEntry(0, layout.titleFont.family) + fontEntry(1, layout.memoFont.family)
        + fontEntry(2, layout.footerFont.family) + "}\n"
        + "{\\colortbl;\\red31\\green78\\blue121;\\red32\\green32\\blue32;}\n"
        + "{\\info{\\title " + TextToRtf(layout.title) + "}}\n"
        + "\\paperw" + QByteArray::number(twips(paper.width()))
        + "\\paperh" + QByteArray::number(twips(paper.height()))
        + "\\margl" + QByteArray::number(twips(margins.left()))
        + "\\margr" + QByteArray::number(twips(margins.right()))
        + "\\margt" + QByteArray::number(twips(margins.top()))
        + "\\margb" + QByteArray::number(twips(margins.bottom()))
        + (layout.orientation == QPageLayout::Landscape ? "\\landscape" : "") + "\n";

    rtf += "\\pard\\plain\\f0\\fs" + halfPoints(layout.titleFont.pointSize) + "\\b\\cf1 "
        + TextToRtf(layout.title) + "\\b0\\par\n";
    if (layout.showDate)
        rtf += "\\pard\\plain\\f2\\fs" + halfPoints(layout.footerFont.pointSize + 1) + "\\cf2 "
            + TextToRtf(QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat))
            + "\\par\n";

    const auto picture = [&](const QImage &image, const QString &caption,
                             TReportLayout::ChartScale scale, double maxHeightMm) {
        QByteArray block;
        if (image.isNull())
            return block;
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!image.save(&buffer, "PNG"))
            throw EReportError(QStringLiteral("The chart picture could not be converted to PNG"));
        const QSizeF area(paper.width() - margins.left() - margins.right(), maxHeightMm);
        QSizeF shown = area;
        if (scale == TReportLayout::ChartScale::Fit)
            shown = QSizeF(image.size()).scaled(area, Qt::KeepAspectRatio);
        if (!caption.isEmpty())
            block += "\\pard\\plain\\sb240\\f2\\fs" + halfPoints(layout.footerFont.pointSize + 1)
                + "\\b " + TextToRtf(caption) + "\\b0\\par\n";
        block += "\\pard\\plain\\qc{\\pict\\pngblip\\picw" + QByteArray::number(image.width())
            + "\\pich" + QByteArray::number(image.height())
            + "\\picwgoal" + QByteArray::number(twips(shown.width()))
            + "\\pichgoal" + QByteArray::number(twips(shown.height())) + "\n";
        const QByteArray hex = png.toHex();
        for (qsizetype i = 0; i < hex.size(); i += 128)
            block += hex.mid(i, 128) + '\n';
        block += "}\\par\n";
        return block;
    };
    const QByteArray chart = picture(content.picture, layout.chartCaption, layout.chartScale,
                                     layout.chartMaxHeightMm);

    QByteArray memo;
    const QStringList lines = content.memoLines();
    if (!lines.isEmpty()) {
        if (!layout.memoHeading.isEmpty())
            memo += "\\pard\\plain\\sb240\\sa120\\f0\\fs" + halfPoints(layout.titleFont.pointSize * 0.65)
                + "\\b\\cf1 " + TextToRtf(layout.memoHeading) + "\\b0\\par\n";
        for (const QString &line : lines)
            memo += "\\pard\\plain\\f1\\fs" + halfPoints(layout.memoFont.pointSize) + ' '
                + TextToRtf(line) + "\\par\n";
    }

    rtf += layout.chartPosition == TReportLayout::ChartPosition::FirstPage ? chart + memo : memo + chart;
    if (layout.history.print)
        rtf += picture(content.historyPicture, layout.history.caption, layout.history.scale,
                       layout.history.maxHeightMm);
    rtf += "}\n";
    SaveWhole(fileName, rtf);
    return true;
}
