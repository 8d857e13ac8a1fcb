#include "TPlainTestLatency.h"

#include "LatencyReport.h"
#include "TLatencyProbe.h"
#include "Uri.h"

#include <QCoreApplication>
#include <QPointer>

TPlainTestLatency::TPlainTestLatency(QObject* parent) : QObject(parent) {}

TPlainTestLatency::~TPlainTestLatency() = default;

bool TPlainTestLatency::ProbeTarget(const QString& target, bool web, int sessionPort, QString& host, int& port)
{
    if (!web) {
        host = target.trimmed();
        port = sessionPort;
        return !host.isEmpty();
    }
    try {
        const TUri uri = TUri::ParseURL(target);
        host = uri.Host;
        port = uri.PortNumber() > 0 ? uri.PortNumber() : (uri.Protocol == QLatin1String("https") ? 443 : 80);
    } catch (const std::exception&) {
        return false;
    }
    return !host.isEmpty() && port > 0 && port < 65536;
}

bool TPlainTestLatency::Start(const QString& host, int port, TIpVersion version)
{
    Reset();
    FProbe = std::make_unique<TLatencyProbe>();
    FProbe->setTarget(host, port, version);
    bool done = false;
    connect(FProbe.get(), &TLatencyProbe::IdleDone, this, [&done] { done = true; });
    FIdling = true;
    FProbe->StartIdle();
    const QPointer<TPlainTestLatency> alive(this);
    // Sleep until something happens; the window may close meanwhile, and this object with it.
    while (!done && !FCancelled && alive)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (!alive)
        return false;
    FIdling = false;
    disconnect(FProbe.get(), &TLatencyProbe::IdleDone, this, nullptr);
    if (!FCancelled)
        FProbe->StartLoaded();
    return true;
}

double TPlainTestLatency::Progress(const TTestProgress& progress)
{
    if (!FProbe)
        return -1;
    FProbe->setTestBytes(progress.BytesSoFar);
    return FProbe->TakeIntervalMs();
}

void TPlainTestLatency::Stop()
{
    if (!FProbe)
        return;
    FProbe->StopLoaded();
    FFigures = FProbe->Figures();
}

void TPlainTestLatency::Reset()
{
    FProbe.reset();
    FFigures = LatencyFigures();
    FIdling = false;
    FCancelled = false;
}

void TPlainTestLatency::Cancel()
{
    if (!FIdling)
        return;
    FCancelled = true;
    // Wakes the wait in Start, which looks at the flag.
    QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
}

QStringList TPlainTestLatency::LogLines() const
{
    return FProbe ? LatencyReport::logLines(FFigures, FProbe->ErrorText()) : QStringList();
}
