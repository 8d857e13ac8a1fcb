#pragma once

#include "engine/httpclient/EHttpSocketError.h"

// A socket call was made on a handle that is no (longer a) socket.
class EHttpNotASocket : public EHttpSocketError
{
public:
    using EHttpSocketError::EHttpSocketError;
};
