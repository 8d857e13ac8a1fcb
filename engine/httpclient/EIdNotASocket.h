#pragma once

#include "EIdSocketError.h"

// A socket call was made on a handle that is no (longer a) socket.
class EIdNotASocket : public EIdSocketError
{
public:
    using EIdSocketError::EIdSocketError;
};
