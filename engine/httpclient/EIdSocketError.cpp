#include "EIdSocketError.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

EIdSocketError EIdSocketError::FromErrno(int code)
{
    return EIdSocketError(code, QString::fromLocal8Bit(std::strerror(code)));
}

EIdSocketError EIdSocketError::FromLookup(int gaiCode, int savedErrno)
{
    if (gaiCode == EAI_SYSTEM && savedErrno != 0)
        return FromErrno(savedErrno);
    return EIdSocketError(gaiCode, QString::fromLocal8Bit(gai_strerror(gaiCode)));
}
