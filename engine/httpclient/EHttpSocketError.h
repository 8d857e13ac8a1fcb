#pragma once

#include "engine/httpclient/EHttpException.h"

// The system reported an error while resolving, connecting, sending or receiving.
// LastError is an errno value, or a getaddrinfo code (negative) for a failed lookup.
class EHttpSocketError : public EHttpException
{
public:
    EHttpSocketError(int lastError, const QString &message)
        : EHttpException(message), FLastError(lastError) {}

    int LastError() const noexcept { return FLastError; }

    // The system's text for an errno value.
    static EHttpSocketError FromErrno(int code);
    // The resolver's text for a getaddrinfo code (EAI_SYSTEM falls back to errno).
    static EHttpSocketError FromLookup(int gaiCode, int savedErrno);

private:
    int FLastError;
};
