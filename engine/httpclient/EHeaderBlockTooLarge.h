#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when a server keeps sending header (or trailer) lines beyond what any real response
// needs, so that it cannot make the client hold them without end.
class EHeaderBlockTooLarge : public EHttpException
{
public:
    EHeaderBlockTooLarge() : EHttpException(QStringLiteral("Response header block too large.")) {}
};
