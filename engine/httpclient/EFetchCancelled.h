#pragma once

#include "engine/httpclient/EHttpException.h"

// Raised when the fetch was cancelled by its owner; the connection has been closed.
class EFetchCancelled : public EHttpException
{
public:
    EFetchCancelled() : EHttpException(QStringLiteral("Fetch cancelled.")) {}
};
