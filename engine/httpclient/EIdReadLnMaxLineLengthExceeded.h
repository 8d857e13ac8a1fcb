#pragma once

#include "EIdException.h"

// Raised when a response line is longer than the connection layer accepts.
class EIdReadLnMaxLineLengthExceeded : public EIdException
{
public:
    EIdReadLnMaxLineLengthExceeded() : EIdException(QStringLiteral("Max line length exceeded.")) {}
};
