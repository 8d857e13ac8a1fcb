#pragma once

#include "engine/KorvaneException.h"

// A call of the TCP client layer that failed at once.
class ESocketError : public Exception
{
public:
    using Exception::Exception;
};
