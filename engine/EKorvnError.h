#pragma once

#include "engine/KorvaneException.h"

// Socket-level failure of a test.
class EKorvnError : public Exception
{
public:
    using Exception::Exception;
};
