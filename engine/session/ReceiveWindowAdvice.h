#pragma once

#include <QString>

#include <cstdint>

// Advice for a receive window that held a transfer back: which of this machine's settings
// would allow the window it needs. It reads the settings and never changes them.
struct TReceiveWindowSettings
{
    // net.ipv4.tcp_rmem: the smallest, the first and the largest buffer the kernel gives a
    // TCP socket on its own; net.core.rmem_max: the most a program may ask for. 0: unreadable.
    int64_t TcpRmemMin = 0;
    int64_t TcpRmemDefault = 0;
    int64_t TcpRmemMax = 0;
    int64_t RmemMax = 0;

    static TReceiveWindowSettings ReadThisMachine();
    // "4096 131072 6291456" and "212992"; false when either cannot be read.
    static bool Parse(const QString &tcpRmem, const QString &rmemMax, TReceiveWindowSettings &out);
};

namespace ReceiveWindowAdvice {

// The kernel keeps about half of a socket's buffer for its own bookkeeping: a window needs
// a buffer twice its size.
constexpr int64_t BufferPerWindow = 2;

// One or two sentences. neededWindow: the window that would carry the rate aimed at;
// requestedWindow: the buffer size the user asked for (0: the kernel's own sizing);
// thisMachineReceives: false for an upload, where the window is the server's.
QString Text(const TReceiveWindowSettings &settings, int64_t neededWindow, int64_t requestedWindow,
             bool thisMachineReceives);

} // namespace ReceiveWindowAdvice
