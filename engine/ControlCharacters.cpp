#include "engine/ControlCharacters.h"

QString EscapeControlCharacters(const QString &text)
{
    auto isControl = [](char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); };
    qsizetype first = 0;
    while (first < text.size() && !isControl(text[first].unicode()))
        ++first;
    if (first == text.size())
        return text;
    static const char hex[] = "0123456789ABCDEF";
    QString escaped = text.left(first);
    for (qsizetype i = first; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (!isControl(c)) {
            escaped += text[i];
        } else if (c == u'\r') {
            escaped += QLatin1String("\\r");
        } else if (c == u'\n') {
            escaped += QLatin1String("\\n");
        } else if (c == u'\t') {
            escaped += QLatin1String("\\t");
        } else {
            escaped += QLatin1String("\\x");
            escaped += QLatin1Char(hex[(c >> 4) & 0x0F]);
            escaped += QLatin1Char(hex[c & 0x0F]);
        }
    }
    return escaped;
}
