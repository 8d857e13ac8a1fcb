#include "engine/httpclient/EHttpException.h"

EHttpException::EHttpException(const QString &message)
    : FMessage(message), FUtf8(message.toUtf8())
{
}
