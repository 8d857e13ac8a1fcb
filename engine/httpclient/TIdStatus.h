#pragma once

#include <QString>

#include <functional>

class QObject;

// Connection notifications, in this order; hsConnected is 2.
enum TIdStatus {
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
using TIdStatusEvent = std::function<void(QObject *ASender, TIdStatus AStatus, const QString &AStatusText)>;

// The text a status carries: its format with the argument substituted.
QString IdStatusText(TIdStatus status, const QString &argument = QString());
