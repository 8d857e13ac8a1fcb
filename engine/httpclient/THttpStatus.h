#pragma once

#include <QString>

#include <functional>

class QObject;

// Connection notifications, in this order; hsConnected is 2.
enum THttpStatus {
    hsResolving,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

// ASender is the object that reports: the client or its connection layer.
using THttpStatusEvent = std::function<void(QObject *ASender, THttpStatus AStatus, const QString &AStatusText)>;

// The text a status carries: its format with the argument substituted.
QString HttpStatusText(THttpStatus status, const QString &argument = QString());
