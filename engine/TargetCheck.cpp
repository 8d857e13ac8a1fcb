#include "engine/TargetCheck.h"

namespace {

bool breaksTheLine(char32_t c)
{
    switch (QChar::category(c)) {
    case QChar::Other_Control: // C0, DEL and C1, NEL included
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

} // namespace

namespace TargetCheck {

QString problem(const QString &target)
{
    for (qsizetype i = 0; i < target.size(); ++i) {
        const QChar c = target.at(i);
        if (breaksTheLine(c.unicode()))
            return QStringLiteral("Invalid target: it contains the control character U+%1 at position %2.")
                .arg(QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0'))
                .arg(i + 1);
    }
    return QString();
}

} // namespace TargetCheck
