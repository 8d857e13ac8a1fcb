#pragma once

#include "report/TReportFileWriter.h"

// A web page with the log as text and the chart as a PNG file beside it.
class THtmlReportWriter : public TReportFileWriter
{
public:
    THtmlReportWriter();

    bool Write(const QString &fileName, const TReportLayout &layout, const TReportContent &content,
               const TReportRenderer::Progress &generating = {},
               const TReportRenderer::Progress &output = {}) override;

    // The picture file written beside the page: "<page name>_chart.png".
    static QString PictureFileName(const QString &pageFileName);
    // The history picture, when the layout prints it: "<page name>_history.png".
    static QString HistoryPictureFileName(const QString &pageFileName);

    // HTML-escaped, with every blank as "&nbsp;".
    static QString TextToHtml(const QString &text);
};
