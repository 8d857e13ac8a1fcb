#include "engine/KorvaneException.h"

Exception::Exception(const QString &message)
    : FMessage(message)
    , FUtf8(message.toUtf8())
{
}

QString Exception::MessageOf(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->Message();
    return QString::fromUtf8(e.what());
}

const char *Exception::what() const noexcept
{
    return FUtf8.constData();
}
