#include "settings/TestOptions.h"

#include "settings/AppIniFileStorage.h"

#include <QStringList>

namespace {

const QString Section = QStringLiteral("TestOptions\\");

const QStringList &directionNames()
{
    static const QStringList names = {QStringLiteral("download"), QStringLiteral("upload"), QStringLiteral("both")};
    return names;
}

int inRange(int value, int low, int high, int fallback)
{
    return value >= low && value <= high ? value : fallback;
}

} // namespace

QString TTestOptions::DirectionName(TDirection direction)
{
    return directionNames().value(int(direction));
}

void TTestOptions::Load(const TAppIniFileStorage &store)
{
    const TTestOptions defaults;
    *this = defaults;
    const QString direction = store.ReadString(Section + QStringLiteral("Direction"));
    const int index = directionNames().indexOf(direction.trimmed().toLower());
    Direction = index >= 0 ? TDirection(index) : defaults.Direction;
    auto readInt = [&](const char *key, int low, int high, int fallback) {
        bool ok = false;
        const int value = store.ReadInteger(Section + QLatin1String(key), fallback, &ok);
        return ok ? inRange(value, low, high, fallback) : fallback;
    };
    Streams = readInt("Streams", MinStreams, MaxStreams, defaults.Streams);
    Seconds = readInt("Seconds", MinSeconds, MaxSeconds, defaults.Seconds);
    SessionPort = readInt("SessionPort", 1, 65535, defaults.SessionPort);
    Latency = readInt("Latency", 0, 1, defaults.Latency ? 1 : 0) == 1;
    LatencyAllTests = readInt("LatencyAllTests", 0, 1, defaults.LatencyAllTests ? 1 : 0) == 1;
    AllowHttps = readInt("AllowHttps", 0, 1, defaults.AllowHttps ? 1 : 0) == 1;
    const QString version = store.ReadString(Section + QStringLiteral("IpVersion")).trimmed().toLower();
    IpVersion = version == IpVersionName(TIpVersion::IPv4Only)   ? TIpVersion::IPv4Only
                : version == IpVersionName(TIpVersion::IPv6Only) ? TIpVersion::IPv6Only
                                                                 : defaults.IpVersion;
    SecretFile = store.ReadString(Section + QStringLiteral("SecretFile")).trimmed();
    WindowKiB = readInt("Window", 0, MaxWindowKiB, defaults.WindowKiB);
}

QString TTestOptions::IpVersionName(TIpVersion version)
{
    switch (version) {
    case TIpVersion::IPv4Only:
        return QStringLiteral("ipv4");
    case TIpVersion::IPv6Only:
        return QStringLiteral("ipv6");
    default:
        return QStringLiteral("automatic");
    }
}

void TTestOptions::Save(TAppIniFileStorage &store) const
{
    const bool inFile = !store.ReadString(Section + QStringLiteral("Direction")).isEmpty()
                        || !store.ReadString(Section + QStringLiteral("Streams")).isEmpty();
    if (!inFile && *this == TTestOptions())
        return;
    store.WriteString(Section + QStringLiteral("Direction"), DirectionName(Direction));
    store.WriteInteger(Section + QStringLiteral("Streams"), Streams);
    store.WriteInteger(Section + QStringLiteral("Seconds"), Seconds);
    store.WriteInteger(Section + QStringLiteral("SessionPort"), SessionPort);
    store.WriteInteger(Section + QStringLiteral("Latency"), Latency ? 1 : 0);
    store.WriteInteger(Section + QStringLiteral("LatencyAllTests"), LatencyAllTests ? 1 : 0);
    store.WriteInteger(Section + QStringLiteral("AllowHttps"), AllowHttps ? 1 : 0);
    store.WriteString(Section + QStringLiteral("IpVersion"), IpVersionName(IpVersion));
    // Written once chosen, so a file that never had them stays as it was.
    if (!SecretFile.isEmpty() || !store.ReadString(Section + QStringLiteral("SecretFile")).isEmpty())
        store.WriteString(Section + QStringLiteral("SecretFile"), SecretFile);
    if (WindowKiB != 0 || !store.ReadString(Section + QStringLiteral("Window")).isEmpty())
        store.WriteInteger(Section + QStringLiteral("Window"), WindowKiB);
}
