#include "TcpFigures.h"

#include <cstddef>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

SessionTcpFigures readTcpFigures(int fd)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    SessionTcpFigures f;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return f;
    // An older kernel fills fewer bytes: the fields past its end stay 0.
    auto has = [len](size_t offset, size_t size) { return offset + size <= len; };
#define KORVANE_FIELD(name) has(offsetof(tcp_info, name), sizeof info.name)
    if (KORVANE_FIELD(tcpi_rtt))
        f.rttUs = info.tcpi_rtt;
    if (KORVANE_FIELD(tcpi_min_rtt))
        f.minRttUs = info.tcpi_min_rtt;
    if (KORVANE_FIELD(tcpi_total_retrans))
        f.retransmits = info.tcpi_total_retrans;
    if (KORVANE_FIELD(tcpi_snd_cwnd) && KORVANE_FIELD(tcpi_snd_mss))
        f.cwndBytes = uint64_t(info.tcpi_snd_cwnd) * info.tcpi_snd_mss;
    if (KORVANE_FIELD(tcpi_delivery_rate))
        f.deliveryRateBps = info.tcpi_delivery_rate;
    if (KORVANE_FIELD(tcpi_busy_time))
        f.busyUs = info.tcpi_busy_time;
    if (KORVANE_FIELD(tcpi_rwnd_limited))
        f.rwndLimitedUs = info.tcpi_rwnd_limited;
    if (KORVANE_FIELD(tcpi_sndbuf_limited))
        f.sndbufLimitedUs = info.tcpi_sndbuf_limited;
    if (KORVANE_FIELD(tcpi_rcv_space))
        f.rcvSpace = info.tcpi_rcv_space;
    if (KORVANE_FIELD(tcpi_rcv_rtt))
        f.rcvRttUs = info.tcpi_rcv_rtt;
#undef KORVANE_FIELD
    return f;
}
