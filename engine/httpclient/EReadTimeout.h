#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when no data arrived within a read time-out the owner set.
class EReadTimeout : public EHttpException
{
public:
    EReadTimeout() : EHttpException(QStringLiteral("Read timed out.")) {}
};
