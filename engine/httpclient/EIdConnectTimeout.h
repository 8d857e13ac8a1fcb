#pragma once

#include "EIdException.h"

// Raised when the connect did not finish within the time allowed.
class EIdConnectTimeout : public EIdException
{
public:
    EIdConnectTimeout() : EIdException(QStringLiteral("Connect timed out.")) {}
};
