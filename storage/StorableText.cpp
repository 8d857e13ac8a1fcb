#include "storage/StorableText.h"

QString StorableText(const QString& text)
{
    QString result = text;
    for (qsizetype i = 0; i < result.size(); ++i) {
        const char16_t c = result.at(i).unicode();
        bool bad = (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
        if (QChar::isHighSurrogate(c)) {
            if (i + 1 < result.size() && QChar::isLowSurrogate(result.at(i + 1).unicode())) {
                ++i;
                continue;
            }
            bad = true;
        } else if (QChar::isLowSurrogate(c)) {
            bad = true;
        }
        if (bad)
            result[i] = u'?';
    }
    return result;
}
