#include "report/THtmlReportWriter.h"

#include "report/EReportError.h"

#include <QBuffer>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QUrl>

THtmlReportWriter::THtmlReportWriter()
    : TReportFileWriter(QStringLiteral("Web Page (HTML)"), QStringLiteral("*.html;*.htm"))
{
}

QString THtmlReportWriter::PictureFileName(const QString &pageFileName)
{
    const QFileInfo page(pageFileName);
    return page.dir().filePath(page.completeBaseName() + QStringLiteral("_chart.png"));
}

QString THtmlReportWriter::HistoryPictureFileName(const QString &pageFileName)
{
    const QFileInfo page(pageFileName);
    return page.dir().filePath(page.completeBaseName() + QStringLiteral("_history.png"));
}

QString THtmlReportWriter::TextToHtml(const QString &text)
{
    QString html;
    html.reserve(text.size() + text.size() / 4);
    for (QChar c : text) {
        switch (c.unicode()) {
        case ' ': html += u"&nbsp;"_qs; break;
        case '&': html += u"&amp;"_qs; break;
        case '<': html += u"&lt;"_qs; break;
        case '>': html += u"&gt;"_qs; break;
        case '"': html += u"&quot;"_qs; break;
        case '\t': html += u"&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;"_qs; break;
        default: html += c;
        }
    }
    return html;
}

bool THtmlReportWriter::Write(const QString &fileName, const TReportLayout &layout,
                              const TReportContent &content,
                              const TReportRenderer::Progress &generating,
                              const TReportRenderer::Progress &output)
{
    if ((generating && !generating(1)) || (output && !output(1)))
        return false;

    // A figure for a picture saved beside the page; the PNG goes into png.
    const auto figure = [&](const QImage &picture, const QString &caption, const QString &pictureFile,
                            QByteArray &png) {
        if (picture.isNull())
            return QString();
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!picture.save(&buffer, "PNG"))
            throw EReportError(QStringLiteral("The chart picture could not be converted to PNG"));
        const QString pictureName = QFileInfo(pictureFile).fileName();
        QString html = QStringLiteral("<figure>\n<img src=\"%1\" width=\"%2\" height=\"%3\" alt=\"%4\">\n")
                           .arg(QString::fromLatin1(QUrl::toPercentEncoding(pictureName)))
                           .arg(picture.width()).arg(picture.height())
                           .arg(caption.toHtmlEscaped());
        if (!caption.isEmpty())
            html += QStringLiteral("<figcaption>%1</figcaption>\n").arg(TextToHtml(caption));
        return html + u"</figure>\n"_qs;
    };
    QByteArray png, historyPng;
    const QString chart = figure(content.picture, layout.chartCaption, PictureFileName(fileName), png);
    const QString history = layout.history.print
        ? figure(content.historyPicture, layout.history.caption, HistoryPictureFileName(fileName), historyPng)
        : QString();

    QString memo;
    const QStringList lines = content.memoLines();
    if (!lines.isEmpty()) {
        if (!layout.memoHeading.isEmpty())
            memo += QStringLiteral("<h2>%1</h2>\n").arg(TextToHtml(layout.memoHeading));
        memo += u"<div class=\"log\">\n"_qs;
        for (const QString &line : lines)
            memo += TextToHtml(line) + u"<br>\n"_qs;
        memo += u"</div>\n"_qs;
    }

    QString html = QStringLiteral(
        "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%1</title>\n"
        "<style>\n"
        "body { font-family: sans-serif; margin: 2em; color: #202020; }\n"
        "h1 { color: #1f4e79; border-bottom: 2px solid #1f4e79; padding-bottom: 0.2em; }\n"
        "h2 { color: #1f4e79; font-size: 1.1em; }\n"
        ".date { color: #606060; }\n"
        "figure { margin: 1em 0; }\n"
        "img { max-width: 100%; height: auto; border: 1px solid #808080; }\n"
        "figcaption { font-weight: bold; font-size: 0.9em; }\n"
        ".log { font-family: monospace; font-size: 0.9em; }\n"
        "</style>\n</head>\n<body>\n<h1>%2</h1>\n")
        .arg(layout.title.toHtmlEscaped(), TextToHtml(layout.title));
    if (layout.showDate)
        html += QStringLiteral("<p class=\"date\">%1</p>\n")
                    .arg(TextToHtml(QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat)));
    if (layout.chartPosition == TReportLayout::ChartPosition::FirstPage)
        html += chart + memo;
    else
        html += memo + chart;
    html += history;
    html += u"</body>\n</html>\n"_qs;

    // The picture first, so the page never points at a file that is not there.
    if (!png.isEmpty())
        SaveWhole(PictureFileName(fileName), png);
    if (!historyPng.isEmpty())
        SaveWhole(HistoryPictureFileName(fileName), historyPng);
    SaveWhole(fileName, html.toUtf8());
    return true;
}
