#include "engine/httpclient/THttpStatus.h"

QString HttpStatusText(THttpStatus status, const QString &argument)
{
    switch (status) {
    case hsResolving:
        return QStringLiteral("Resolving hostname %1.").arg(argument);
    case hsConnecting:
        return QStringLiteral("Connecting to %1.").arg(argument);
    case hsConnected:
        return QStringLiteral("Connected.");
    case hsDisconnecting:
        return QStringLiteral("Disconnecting.");
    case hsDisconnected:
        return QStringLiteral("Disconnected.");
    case hsStatusText:
    case ftpTransfer:
    case ftpReady:
    case ftpAborted:
        break;
    }
    return argument;
}
