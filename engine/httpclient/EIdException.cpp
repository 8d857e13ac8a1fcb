#include "EIdException.h"

EIdException::EIdException(const QString &message)
    : FMessage(message), FUtf8(message.toUtf8())
{
}
