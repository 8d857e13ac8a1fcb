#pragma once

#include "report/TReportRenderer.h"

#include <QString>

// A report file format: its name in the dialogs, its file pattern and the writer.
class TReportFileWriter
{
public:
    TReportFileWriter(QString displayName, QString filePattern);
    virtual ~TReportFileWriter() = default;

    QString DisplayName;
    QString FilePattern; // e.g. "*.html;*.htm"

    // "Web Page (HTML) (*.html *.htm)", as file dialogs want it.
    QString FileDialogFilter() const;
    // fileName with the pattern's first extension when it has none of them.
    QString WithExtension(const QString &fileName) const;

    // Writes the whole report; the file is replaced only once complete. Returns
    // false when cancelled through a progress callback. Throws EReportError.
    virtual bool Write(const QString &fileName, const TReportLayout &layout,
                       const TReportContent &content,
                       const TReportRenderer::Progress &generating = {},
                       const TReportRenderer::Progress &output = {}) = 0;

protected:
    // Replaces fileName with data through a temporary file; throws on failure.
    static void SaveWhole(const QString &fileName, const QByteArray &data);
};
