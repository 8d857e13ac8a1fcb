#include "engine/run/FailureHint.h"

#include "engine/net/ServerTarget.h"

namespace FailureHint {

QString For(const QString &errorMessage, TFrontEnd frontEnd)
{
    const bool window = frontEnd == TFrontEnd::Window;
    // The web client's words for an https address it was not allowed to fetch.
    if (errorMessage == QLatin1String("IOHandler value is not valid"))
        return window ? QStringLiteral("Hint: https addresses are tested once Test > Options allows https.")
                      : QStringLiteral("Hint: add --allow-https to test https addresses.");
    if (errorMessage.startsWith(QLatin1String("Invalid target"))
        && errorMessage.endsWith(QString::fromLatin1(ServerTarget::WebAddressReason)))
        return window ? QStringLiteral("Hint: choose Web Page to test a web address.")
                      : QStringLiteral("Hint: add --web to test a web address.");
    return {};
}

} // namespace FailureHint
