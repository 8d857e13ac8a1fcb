#include "engine/SystemErrorText.h"

#include <cstring>
#include <netdb.h>

QString SystemErrorText(int code)
{
    QString text = code < 0 ? QString::fromLocal8Bit(gai_strerror(code))
                            : QString::fromLocal8Bit(strerror(code));
    while (!text.isEmpty()) {
        const QChar c = text.back();
        if (c.isSpace() || c.category() == QChar::Other_Control || c == u'.')
            text.chop(1);
        else
            break;
    }
    return text;
}
