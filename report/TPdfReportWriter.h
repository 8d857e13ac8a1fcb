#pragma once

#include "report/TReportFileWriter.h"

// PDF through QPdfWriter, with our own document information.
class TPdfReportWriter : public TReportFileWriter
{
public:
    TPdfReportWriter();

    QString Title = QStringLiteral("Korvane Report");
    QString Subject = QStringLiteral("Korvane Report");
    QString Creator = QStringLiteral("Korvane 1.5 ");
    QString Producer = QStringLiteral("Ostrelle, LLC");

    bool Write(const QString &fileName, const TReportLayout &layout, const TReportContent &content,
               const TReportRenderer::Progress &generating = {},
               const TReportRenderer::Progress &output = {}) override;

    // QPdfWriter names itself as producer and has no subject; this appends an
    // incremental update whose Info dictionary carries ours. Throws EReportError.
    QByteArray WithDocumentInfo(const QByteArray &pdf) const;

private:
    QByteArray XmpMetadata() const;
};
