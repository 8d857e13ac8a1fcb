#pragma once

#include "EIdException.h"

// Raised when the server closed the connection where a response still had to follow.
class EIdConnClosedGracefully : public EIdException
{
public:
    EIdConnClosedGracefully() : EIdException(QStringLiteral("Connection Closed Gracefully.")) {}
};
