#pragma once

#include "EIdException.h"

// A connect failure that carries no system error code.
class EIdConnectException : public EIdException
{
public:
    using EIdException::EIdException;
};
