#include "TIdleProbeWait.h"

#include "TLatencyProbe.h"

#include <QCoreApplication>
#include <QPointer>

TIdleProbeWait::TIdleProbeWait(QObject* parent) : QObject(parent) {}

bool TIdleProbeWait::Run(TLatencyProbe& probe)
{
    FCancelled = false;
    bool done = false;
    const auto connection = connect(&probe, &TLatencyProbe::IdleDone, this, [&done] { done = true; });
    FWaiting = true;
    probe.StartIdle();
    const QPointer<TIdleProbeWait> alive(this);
    // Sleep until something happens. The window may close meanwhile, and this object with
    // it, so nothing of it is read before alive says it is still there.
    while (alive && !done && !FCancelled)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!alive)
        return false;
    FWaiting = false;
    disconnect(connection);
    return true;
}

void TIdleProbeWait::Cancel()
{
    if (!FWaiting)
        return;
    FCancelled = true;
    // Wakes the wait in Run, which looks at the flag.
    QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
}
