#pragma once

#include "report/TReportFileWriter.h"

// Rich Text with the log as text and the chart as an embedded PNG picture.
class TRtfReportWriter : public TReportFileWriter
{
public:
    TRtfReportWriter();

    bool Write(const QString &fileName, const TReportLayout &layout, const TReportContent &content,
               const TReportRenderer::Progress &generating = {},
               const TReportRenderer::Progress &output = {}) override;

    // RTF-escaped text: \ { } escaped, tabs as \tab, non-ASCII as \uN with a "?" fallback.
    static QByteArray TextToRtf(const QString &text);
};
