#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when the connect did not finish within the time allowed.
class EHttpConnectTimeout : public EHttpException
{
public:
    EHttpConnectTimeout() : EHttpException(QStringLiteral("Connect timed out.")) {}
};
