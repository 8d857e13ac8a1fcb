#include "ui/TDesktopNotice.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

TDesktopNotice::TDesktopNotice(QObject* parent) : QObject(parent) {}

TDesktopNotice::TDesktopNotice(const QDBusConnection& bus, QObject* parent) : QObject(parent), FBus(bus) {}

void TDesktopNotice::Show(const QString& summary, const QString& body)
{
    if (!FBus)
        FBus = QDBusConnection::sessionBus();
    if (!FBus->isConnected()) {
        emit Failed(QStringLiteral("no session bus for desktop notices"));
        return;
    }
    // Built by hand rather than through an interface object, which would ask the service to
    // describe itself and wait for the answer.
    QDBusMessage call = QDBusMessage::createMethodCall(Service(), QStringLiteral("/org/freedesktop/Notifications"),
                                                       Service(), QStringLiteral("Notify"));
    call << QStringLiteral("Korvane Client") << uint(0) << QStringLiteral("com.korvane.Client") << summary << body
         << QStringList() << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(FBus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            emit Failed(reply.error().message());
        w->deleteLater();
    });
}
