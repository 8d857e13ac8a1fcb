#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when a response line is longer than the connection layer accepts.
class EHttpReadLnMaxLineLengthExceeded : public EHttpException
{
public:
    EHttpReadLnMaxLineLengthExceeded() : EHttpException(QStringLiteral("Max line length exceeded.")) {}
};
