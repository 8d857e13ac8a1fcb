#include "protocol/SocketTcpInfo.h"

#include <cstddef>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

bool TSocketTcpInfo::Read(int fd, TSocketTcpInfo &out)
{
    out = TSocketTcpInfo();
    int rcvbuf = 0;
    socklen_t blen = sizeof rcvbuf;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &blen) == 0)
        out.RcvBuf = rcvbuf;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    // An older kernel fills fewer bytes: the fields past its end stay 0.
    auto has = [len](size_t offset, size_t size) { return offset + size <= len; };
#define KORVANE_HAS(name) has(offsetof(tcp_info, name), sizeof info.name)
    if (KORVANE_HAS(tcpi_rtt))
        out.RttUs = info.tcpi_rtt;
    if (KORVANE_HAS(tcpi_min_rtt))
        out.MinRttUs = info.tcpi_min_rtt;
    if (KORVANE_HAS(tcpi_total_retrans))
        out.Retransmits = info.tcpi_total_retrans;
    if (KORVANE_HAS(tcpi_snd_mss))
        out.SndMss = info.tcpi_snd_mss;
    if (KORVANE_HAS(tcpi_rcv_mss))
        out.RcvMss = info.tcpi_rcv_mss;
    if (KORVANE_HAS(tcpi_snd_wnd))
        out.SndWnd = info.tcpi_snd_wnd;
    if (KORVANE_HAS(tcpi_bytes_sent))
        out.BytesSent = int64_t(info.tcpi_bytes_sent);
    if (KORVANE_HAS(tcpi_bytes_retrans))
        out.BytesRetrans = int64_t(info.tcpi_bytes_retrans);
    if (KORVANE_HAS(tcpi_snd_cwnd) && KORVANE_HAS(tcpi_snd_mss))
        out.CwndBytes = int64_t(info.tcpi_snd_cwnd) * info.tcpi_snd_mss;
    // The flag came with the delivery rate; it sits in the struct's first bytes, so a kernel
    // without the rate leaves it 0.
    if (KORVANE_HAS(tcpi_delivery_rate)) {
        out.DeliveryRateBps = int64_t(info.tcpi_delivery_rate);
        out.AppLimited = info.tcpi_delivery_rate_app_limited != 0;
    }
    out.HasSenderTimes = KORVANE_HAS(tcpi_sndbuf_limited);
    if (KORVANE_HAS(tcpi_busy_time))
        out.BusyUs = int64_t(info.tcpi_busy_time);
    if (KORVANE_HAS(tcpi_rwnd_limited))
        out.RwndLimitedUs = int64_t(info.tcpi_rwnd_limited);
    if (KORVANE_HAS(tcpi_sndbuf_limited))
        out.SndbufLimitedUs = int64_t(info.tcpi_sndbuf_limited);
    if (KORVANE_HAS(tcpi_rcv_space))
        out.RcvSpace = info.tcpi_rcv_space;
    if (KORVANE_HAS(tcpi_rcv_rtt))
        out.RcvRttUs = info.tcpi_rcv_rtt;
#undef KORVANE_HAS
    return true;
}

SessionTcpFigures TSocketTcpInfo::SessionFigures(int fd)
{
    TSocketTcpInfo info;
    SessionTcpFigures f;
    if (!Read(fd, info))
        return f;
    f.RttUs = uint64_t(info.RttUs);
    f.MinRttUs = uint64_t(info.MinRttUs);
    f.Retransmits = uint64_t(info.Retransmits);
    f.CwndBytes = uint64_t(info.CwndBytes);
    f.DeliveryRateBps = uint64_t(info.DeliveryRateBps);
    f.BusyUs = uint64_t(info.BusyUs);
    f.RwndLimitedUs = uint64_t(info.RwndLimitedUs);
    f.SndbufLimitedUs = uint64_t(info.SndbufLimitedUs);
    f.RcvSpace = uint64_t(info.RcvSpace);
    f.RcvRttUs = uint64_t(info.RcvRttUs);
    f.AppLimited = info.AppLimited ? 1 : 0;
    return f;
}
