#pragma once

#include "engine/stream/TKorvane.h"

#include <QEventLoop>
#include <QTimer>

// Serves the event loop until the test has ended or timeoutMs passed; true if it ended.
// Sleeps until the next event; the timer only guards against a hang.
inline bool waitDone(TKorvane &k, int timeoutMs = 20000)
{
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(timeoutMs);
    while (!k.TestDone() && guard.isActive())
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    return k.TestDone();
}
