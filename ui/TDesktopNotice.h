#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <optional>

// A notice on the desktop through the notification service on the session bus. Sent without
// waiting: the event loop goes on while the service answers, and a desktop without the
// service costs one line in the log, nothing more.
class TDesktopNotice : public QObject
{
    Q_OBJECT
public:
    // On the session bus, reached on the first notice: a user who never turns notices on
    // never talks to the bus.
    explicit TDesktopNotice(QObject* parent = nullptr);
    // On another bus than the session's, such as a test's own.
    TDesktopNotice(const QDBusConnection& bus, QObject* parent = nullptr);

    static QString Service() { return QStringLiteral("org.freedesktop.Notifications"); }

    void Show(const QString& summary, const QString& body);

signals:
    // Why a notice did not reach the service.
    void Failed(const QString& message);

private:
    std::optional<QDBusConnection> FBus;
};
