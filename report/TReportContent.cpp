#include "report/TReportContent.h"

#include "report/EReportError.h"

#include <QRegularExpression>

TReportContent TReportContent::FromRow(const TReportRow &row)
{
    if (row.SpeedLog.size() % 2 != 0)
        throw EReportError(QStringLiteral("The report field SpeedLog holds %1 bytes, "
                                          "not whole UTF-16 characters").arg(row.SpeedLog.size()));
    TReportContent content;
    content.memoText = QString(reinterpret_cast<const QChar *>(row.SpeedLog.constData()),
                               row.SpeedLog.size() / 2);
    if (!row.SpeedGrp.isEmpty() && !content.picture.loadFromData(row.SpeedGrp, "BMP"))
        throw EReportError(QStringLiteral("The report field SpeedGrp is not a readable bitmap"));
    if (!row.HistoryGrp.isEmpty() && !content.historyPicture.loadFromData(row.HistoryGrp, "BMP"))
        throw EReportError(QStringLiteral("The report field HistoryGrp is not a readable bitmap"));
    return content;
}

QStringList TReportContent::memoLines() const
{
    if (memoText.isEmpty())
        return {};
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
    QStringList lines = memoText.split(lineBreak);
    if (lines.size() > 1 && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}
