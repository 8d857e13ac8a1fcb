#include "engine/run/TestPlan.h"

#include "engine/http/Uri.h"
#include "protocol/SessionAuth.h"
#include "protocol/SessionMessage.h"

#include "engine/stream/TKorvane.h"

#include <QFile>

// The engine's own limits and the defaults every front end offers must agree.
static_assert(TestDefaults::MaxStreams == TSessionTest::MaxStreams);
static_assert(TestDefaults::SessionPort == SessionProtocol::DefaultPort); // the protocol's own
static_assert(TestDefaults::ProbeIntervalMs == TLatencyProbe::DefaultIntervalMs);
static_assert(TestDefaults::ProgressIntervalMs == TKorvane::DefaultProgressInterval);
static_assert(TestDefaults::ProgressIntervalMs == TSessionTest::DefaultProgressInterval);

TSessionRequest TTestPlan::SessionRequest() const
{
    TSessionRequest request;
    request.Host = Target;
    request.SessionPort = SessionPort;
    request.Direction = Direction;
    request.Streams = Streams;
    request.Seconds = Seconds;
    request.Bytes = Bytes;
    request.Window = Window;
    request.Secret = Secret;
    request.IpVersion = IpVersion;
    return request;
}

bool TTestPlan::ProbeTarget(QString &host, int &port) const
{
    if (IsSession()) {
        const TSessionRequest request = SessionRequest();
        host = request.ConnectHost();
        port = request.ConnectPort();
        return !host.isEmpty();
    }
    return ProbeTarget(Target, Kind == TTestKind::WebPage, SessionPort, host, port);
}

bool TTestPlan::ProbeTarget(const QString &target, bool web, int sessionPort, QString &host, int &port)
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
    } catch (const std::exception &) {
        return false;
    }
    return !host.isEmpty() && port > 0 && port < 65536;
}

bool TTestPlan::ReadSecretFile(const QString &path, QByteArray &secret, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the secret file %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray content = file.read(1 << 16);
    const std::string text = SessionAuth::secretFromFile(std::string_view(content.constData(), size_t(content.size())));
    if (text.empty()) {
        error = QStringLiteral("the secret file %1 holds no secret").arg(path);
        return false;
    }
    secret = QByteArray::fromStdString(text);
    return true;
}
