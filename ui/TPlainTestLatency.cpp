#include "TPlainTestLatency.h"

#include "LatencyReport.h"
#include "ResultTexts.h"
#include "ResultsTable.h"
#include "TLatencyProbe.h"
#include "TestOptions.h"
#include "Uri.h"


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

bool TPlainTestLatency::Prepare(const QString& target, bool web, const TTestOptions& options)
{
    Reset();
    FVersion = options.IpVersion;
    FWanted = options.LatencyFor(false) && ProbeTarget(target, web, options.SessionPort, FHost, FPort);
    return FWanted;
}

bool TPlainTestLatency::RunIdle()
{
    if (!FWanted)
        return true;
    FProbe = std::make_unique<TLatencyProbe>();
    FProbe->setTarget(FHost, FPort, FVersion);
    if (!FIdleWait.Run(*FProbe))
        return false;
    if (FIdleWait.Cancelled())
        FProbe.reset(); // the test never ran: nothing of it is reported
    else
        FProbe->StartLoaded();
    return true;
}

QString TPlainTestLatency::ProgressFigures(const TTestProgress& progress)
{
    if (!FProbe)
        return {};
    FProbe->setTestBytes(progress.BytesSoFar);
    if (const double ms = FProbe->TakeIntervalMs(); ms >= 0) {
        FLastMs = ms;
        emit Sample(double(progress.ElapsedUs) / 1e6, ms);
    }
    return ResultTexts::IntervalLatencyFigure(FLastMs);
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
    FWanted = false;
    FIdleWait.Reset();
    FLastMs = -1;
}

void TPlainTestLatency::Cancel()
{
    FIdleWait.Cancel();
}

QString TPlainTestLatency::ResultFigures() const
{
    if (!FProbe)
        return {};
    const QString latency = ResultTexts::LiveLatencyFigures(FFigures.LoadedMs, FFigures.Grade);
    return latency.isEmpty() ? QString() : QStringLiteral("   ") + latency;
}

QStringList TPlainTestLatency::LogLines() const
{
    return FProbe ? LatencyReport::logLines(FFigures, FProbe->ErrorText()) : QStringList();
}

void TPlainTestLatency::AddTo(TResultsTable& table) const
{
    if (FProbe)
        table.SetLatency(FFigures.IdleMs, FFigures.LoadedMs, FFigures.LoadedP90Ms, FFigures.Rpm, FFigures.Grade,
                         FFigures.Lost);
}
