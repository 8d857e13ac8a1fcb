#pragma once

#include "EIdException.h"

// Raised when the fetch was cancelled by its owner; the connection has been closed.
class EIdFetchCancelled : public EIdException
{
public:
    EIdFetchCancelled() : EIdException(QStringLiteral("Fetch cancelled.")) {}
};
