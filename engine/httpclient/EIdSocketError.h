#pragma once

#include "EIdException.h"

// The system reported an error while resolving, connecting, sending or receiving.
// LastError is an errno value, or a getaddrinfo code (negative) for a failed lookup.
class EIdSocketError : public EIdException
{
public:
    EIdSocketError(int lastError, const QString &message)
        : EIdException(message), FLastError(lastError) {}

    int LastError() const noexcept { return FLastError; }

    // The system's text for an errno value.
    static EIdSocketError FromErrno(int code);
    // The resolver's text for a getaddrinfo code (EAI_SYSTEM falls back to errno).
    static EIdSocketError FromLookup(int gaiCode, int savedErrno);

private:
    int FLastError;
};
