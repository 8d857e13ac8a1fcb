#include "engine/session/ReceiveWindowAdvice.h"

#include "engine/session/TransferVerdict.h"

#include <QFile>
#include <QStringList>

namespace {

QString readSetting(const char *path)
{
    QFile f{QString::fromLatin1(path)};
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.read(256)).trimmed();
}

// Rounded up to a whole MiB above 1 MiB, so the advice shows a number a person would type.
int64_t roundedUp(int64_t bytes)
{
    constexpr int64_t mib = 1 << 20;
    if (bytes <= mib)
        return bytes;
    return (bytes + mib - 1) / mib * mib;
}

} // namespace

bool TReceiveWindowSettings::Parse(const QString &tcpRmem, const QString &rmemMax, TReceiveWindowSettings &out)
{
    const QStringList parts = tcpRmem.simplified().split(u' ', Qt::SkipEmptyParts);
    if (parts.size() != 3)
        return false;
    bool ok[4] = {};
    TReceiveWindowSettings s;
    s.TcpRmemMin = parts[0].toLongLong(&ok[0]);
    s.TcpRmemDefault = parts[1].toLongLong(&ok[1]);
    s.TcpRmemMax = parts[2].toLongLong(&ok[2]);
    s.RmemMax = rmemMax.trimmed().toLongLong(&ok[3]);
    for (bool b : ok) {
        if (!b)
            return false;
    }
    if (s.TcpRmemMin <= 0 || s.TcpRmemDefault <= 0 || s.TcpRmemMax <= 0 || s.RmemMax <= 0)
        return false;
    out = s;
    return true;
}

TReceiveWindowSettings TReceiveWindowSettings::ReadThisMachine()
{
    TReceiveWindowSettings s;
    Parse(readSetting("/proc/sys/net/ipv4/tcp_rmem"), readSetting("/proc/sys/net/core/rmem_max"), s);
    return s;
}

QString ReceiveWindowAdvice::Text(const TReceiveWindowSettings &s, int64_t neededWindow, int64_t requestedWindow,
                                  bool thisMachineReceives)
{
    using VerdictText::bytes;
    if (!thisMachineReceives)
        return QStringLiteral("The window is the server's: its net.ipv4.tcp_rmem decides how far it grows.");
    const int64_t buffer = roundedUp(neededWindow * BufferPerWindow);
    if (requestedWindow > 0) {
        // A buffer asked for by the program is cut to net.core.rmem_max, and the kernel's own
        // sizing stops.
        QString text = QStringLiteral("The window was fixed at %1 by --window; without it the kernel grows the buffer up to "
                                      "%2 (net.ipv4.tcp_rmem).")
                           .arg(bytes(double(requestedWindow)), bytes(double(s.TcpRmemMax)));
        if (s.RmemMax > 0 && buffer > s.RmemMax)
            text += QStringLiteral(" A --window above net.core.rmem_max (%1) is cut to it: for %2 run "
                                   "\"sysctl -w net.core.rmem_max=%3\" as root.")
                        .arg(QString::number(s.RmemMax), bytes(double(neededWindow)), QString::number(buffer));
        return text;
    }
    if (s.TcpRmemMax <= 0)
        return QStringLiteral("This machine's net.ipv4.tcp_rmem cannot be read, so no setting can be advised.");
    if (buffer > s.TcpRmemMax)
        return QStringLiteral("The kernel grows the buffer up to net.ipv4.tcp_rmem's largest value, %1 here: for a "
                              "window of %2 run \"sysctl -w net.ipv4.tcp_rmem='%3 %4 %5'\" as root.")
            .arg(QString::number(s.TcpRmemMax), bytes(double(neededWindow)), QString::number(s.TcpRmemMin),
                 QString::number(s.TcpRmemDefault), QString::number(buffer));
    return QStringLiteral("net.ipv4.tcp_rmem allows a buffer of %1 here, enough for a window of %2: the window had "
                          "not grown yet (a short test), or something else held it back.")
        .arg(QString::number(s.TcpRmemMax), bytes(double(neededWindow)));
}
