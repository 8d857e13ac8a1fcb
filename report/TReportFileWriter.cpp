#include "report/TReportFileWriter.h"

#include "report/EReportError.h"

#include <QFileInfo>
#include <QSaveFile>

TReportFileWriter::TReportFileWriter(QString displayName, QString filePattern)
    : DisplayName(std::move(displayName)), FilePattern(std::move(filePattern))
{
}

QString TReportFileWriter::FileDialogFilter() const
{
    return QStringLiteral("%1 (%2)").arg(DisplayName, QString(FilePattern).replace(u';', u' '));
}

QString TReportFileWriter::WithExtension(const QString &fileName) const
{
    const QStringList patterns = FilePattern.split(u';', Qt::SkipEmptyParts);
    const QString suffix = QFileInfo(fileName).suffix();
    for (const QString &pattern : patterns) {
        if (pattern.mid(2).compare(suffix, Qt::CaseInsensitive) == 0)
            return fileName;
    }
    return patterns.isEmpty() ? fileName : fileName + patterns.first().mid(1);
}

void TReportFileWriter::SaveWhole(const QString &fileName, const QByteArray &data)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit())
        throw EReportError(QStringLiteral("Cannot write the report file \"%1\": %2")
                               .arg(QFileInfo(fileName).absoluteFilePath(), file.errorString()));
}
