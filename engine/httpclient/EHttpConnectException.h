#pragma once

#include "engine/httpclient/EHttpException.h"

// A connect failure that carries no system error code.
class EHttpConnectException : public EHttpException
{
public:
    using EHttpException::EHttpException;
};
