#pragma once

#include "EIdException.h"

// Raised when a server keeps sending header (or trailer) lines beyond what any real response
// needs, so that it cannot make the client hold them without end.
class EIdHeaderBlockTooLarge : public EIdException
{
public:
    EIdHeaderBlockTooLarge() : EIdException(QStringLiteral("Response header block too large.")) {}
};
