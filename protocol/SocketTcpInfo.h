#pragma once

#include "protocol/SessionMessage.h"

#include <cstdint>

// One side's view of one of its TCP connections: what the kernel's TCP_INFO says, and the
// receive buffer it sized. 0 where the kernel lacks a field. The client reads its own
// connections with it, the server the figures it reports to the client.
struct TSocketTcpInfo
{
    int64_t RttUs = 0;
    int64_t MinRttUs = 0;
    int64_t Retransmits = 0; // segments, over the connection's life
    int64_t SndMss = 0;
    int64_t RcvMss = 0;
    int64_t SndWnd = 0; // the peer's advertised window, as this side last saw it
    int64_t BytesSent = 0;
    int64_t BytesRetrans = 0;
    int64_t CwndBytes = 0;
    int64_t DeliveryRateBps = 0; // bytes per second
    int64_t BusyUs = 0;
    int64_t RwndLimitedUs = 0;
    int64_t SndbufLimitedUs = 0;
    int64_t RcvSpace = 0;
    int64_t RcvRttUs = 0;
    bool AppLimited = false; // tcpi_delivery_rate_app_limited
    int64_t RcvBuf = 0; // SO_RCVBUF: the kernel's size, overhead included
    bool HasSenderTimes = false; // the kernel times busy and limited states (4.10 and later)

    // False when the socket gives no TCP_INFO; what it gives is read either way.
    static bool Read(int fd, TSocketTcpInfo &info);

    // The figures a session report carries, read from fd; all 0 without TCP_INFO.
    static SessionTcpFigures SessionFigures(int fd);
};
