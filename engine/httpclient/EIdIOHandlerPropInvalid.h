#pragma once

#include "EIdException.h"

// Raised when no TLS layer exists, so an https request cannot be made.
class EIdIOHandlerPropInvalid : public EIdException
{
public:
    EIdIOHandlerPropInvalid() : EIdException(QStringLiteral("IOHandler value is not valid")) {}
};
