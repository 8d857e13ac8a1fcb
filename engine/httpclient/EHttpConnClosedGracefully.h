#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when the server closed the connection where a response still had to follow.
class EHttpConnClosedGracefully : public EHttpException
{
public:
    EHttpConnClosedGracefully() : EHttpException(QStringLiteral("Connection Closed Gracefully.")) {}
};
