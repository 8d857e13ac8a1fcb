#include "engine/httpclient/EHttpSocketError.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

EHttpSocketError EHttpSocketError::FromErrno(int code)
{
    return EHttpSocketError(code, QString::fromLocal8Bit(std::strerror(code)));
}

EHttpSocketError EHttpSocketError::FromLookup(int gaiCode, int savedErrno)
{
    if (gaiCode == EAI_SYSTEM && savedErrno != 0)
        return FromErrno(savedErrno);
    return EHttpSocketError(gaiCode, QString::fromLocal8Bit(gai_strerror(gaiCode)));
}
