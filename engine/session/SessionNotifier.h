#pragma once

#include <QSocketNotifier>

// Stops and releases a socket's notifier; later, since it may be the sender of the
// notification being served.
inline void DropSessionNotifier(QSocketNotifier *&n)
{
    if (n) {
        n->setEnabled(false);
        n->deleteLater();
        n = nullptr;
    }
}
