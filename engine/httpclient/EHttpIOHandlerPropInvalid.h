#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when no TLS layer exists, so an https request cannot be made.
class EHttpIOHandlerPropInvalid : public EHttpException
{
public:
    EHttpIOHandlerPropInvalid() : EHttpException(QStringLiteral("IOHandler value is not valid")) {}
};
