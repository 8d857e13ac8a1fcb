#pragma once

#include "engine/httpclient/EHttpException.h"

// An error status: the message is the status line as the server sent it, ErrorMessage the
// response body decoded to text.
class EHttpProtocolException : public EHttpException
{
public:
    EHttpProtocolException(const QString &statusLine, int errorCode, const QString &errorMessage)
        : EHttpException(statusLine), FErrorCode(errorCode), FErrorMessage(errorMessage) {}

    int ErrorCode() const noexcept { return FErrorCode; }
    const QString &ErrorMessage() const noexcept { return FErrorMessage; }

private:
    int FErrorCode;
    QString FErrorMessage;
};
