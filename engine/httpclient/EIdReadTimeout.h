#pragma once

#include "EIdException.h"

// Raised when no data arrived within a read time-out the owner set.
class EIdReadTimeout : public EIdException
{
public:
    EIdReadTimeout() : EIdException(QStringLiteral("Read timed out.")) {}
};
