#pragma once

#include "engine/httpclient/EHttpException.h"

// A TLS handshake or an encrypted connection failed for a reason the user can act on; the
// message names the host and the problem.
class EHttpTlsError : public EHttpException
{
public:
    using EHttpException::EHttpException;
};
