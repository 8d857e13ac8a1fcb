#pragma once

#include "KorvaneException.h"

// Socket-level failure of a test.
class EKorvnError : public Exception
{
public:
    using Exception::Exception;
};
