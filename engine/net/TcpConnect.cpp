#include "engine/net/TcpConnect.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

bool SameAddress(const TResolvedAddress &a, const TResolvedAddress &b)
{
    return a.Length == b.Length && std::memcmp(&a.Address, &b.Address, a.Length) == 0;
}

int MsUntil(Clock::time_point when)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
    return int(std::clamp<int64_t>(left.count(), 0, 1 << 30));
}

bool CancelRaised(int fd)
{
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

struct Attempt
{
    int Fd = -1;
    size_t Index = 0;
};

void CloseAll(std::vector<Attempt> &pending)
{
    for (const Attempt &a : pending)
        ::close(a.Fd);
    pending.clear();
}

} // namespace

int FamilyOf(TIpVersion version)
{
    switch (version) {
    case TIpVersion::IPv4Only:
        return AF_INET;
    case TIpVersion::IPv6Only:
        return AF_INET6;
    case TIpVersion::Automatic:
        break;
    }
    return AF_UNSPEC;
}

const char *FamilyName(int family)
{
    return family == AF_INET6 ? "ipv6" : family == AF_INET ? "ipv4" : "";
}

std::string NumericAddress(const TResolvedAddress &address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.Address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address.Address).sin6_addr,
                    text, sizeof text);
    else if (address.Address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address.Address).sin_addr, text,
                    sizeof text);
    return text;
}

void SetPort(TResolvedAddress &address, uint16_t port)
{
    if (address.Address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(address.Address).sin6_port = htons(port);
    else if (address.Address.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(address.Address).sin_port = htons(port);
}

int SystemResolve(const std::string &host, int family, std::vector<TResolvedAddress> &addresses,
                  int &savedErrno)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int code = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    savedErrno = errno;
    if (code != 0)
        return code;
    for (const addrinfo *ai = found; ai; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TResolvedAddress a;
        std::memcpy(&a.Address, ai->ai_addr, ai->ai_addrlen);
        a.Length = ai->ai_addrlen;
        addresses.push_back(a);
    }
    ::freeaddrinfo(found);
    return addresses.empty() ? EAI_NONAME : 0;
}

std::vector<TResolvedAddress> RaceOrder(const std::vector<TResolvedAddress> &addresses)
{
    std::vector<TResolvedAddress> v6, v4;
    for (const TResolvedAddress &a : addresses) {
        auto &list = a.Address.ss_family == AF_INET6 ? v6 : v4;
        const auto seen = [&a](const TResolvedAddress &b) { return SameAddress(a, b); };
        if (std::none_of(v6.begin(), v6.end(), seen) && std::none_of(v4.begin(), v4.end(), seen))
            list.push_back(a);
    }
    std::vector<TResolvedAddress> ordered;
    for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            ordered.push_back(v6[i]);
        if (i < v4.size())
            ordered.push_back(v4[i]);
    }
    return ordered;
}

TConnectResult TcpConnectAddresses(const std::vector<TResolvedAddress> &addresses,
                                   const TConnectOptions &options)
{
    TConnectResult result;
    if (CancelRaised(options.CancelFd)) {
        result.Stage = TConnectResult::TStage::Cancelled;
        result.ErrorCode = ECANCELED;
        return result;
    }
    const auto started = Clock::now();
    const bool limited = options.TimeoutMs >= 0;
    const auto deadline = started + std::chrono::milliseconds(limited ? options.TimeoutMs : 0);
    const auto delay = std::chrono::milliseconds(std::max(0, options.AttemptDelayMs));

    std::vector<Attempt> pending;
    size_t next = 0;
    auto nextStartAt = started;
    const auto fail = [&result](TConnectResult::TStage stage, int code) {
        result.Stage = stage;
        result.ErrorCode = code;
    };
    const auto win = [&](int fd, size_t index) {
        result = TConnectResult{};
        result.Socket = fd;
        result.Peer = addresses[index];
        result.AddressText = NumericAddress(addresses[index]);
        result.Family = addresses[index].Address.ss_family;
        result.Attempts = int(next);
        CloseAll(pending);
        return result;
    };
    fail(TConnectResult::TStage::Connect, EHOSTUNREACH); // with no address at all

    for (;;) {
        // Start the next attempt when its delay is over or nothing else is left to wait for.
        while (next < addresses.size() && (pending.empty() || Clock::now() >= nextStartAt)) {
            const size_t index = next++;
            const TResolvedAddress &a = addresses[index];
            const int fd = ::socket(a.Address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                fail(TConnectResult::TStage::Socket, errno);
                continue;
            }
            if (options.Prepare && !options.Prepare(fd)) {
                fail(TConnectResult::TStage::Socket, errno);
                ::close(fd);
                continue;
            }
            // EINTR on a non-blocking connect leaves it in progress, as EINPROGRESS does.
            const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&a.Address), a.Length);
            if (rc == 0)
                return win(fd, index);
            if (errno == EINPROGRESS || errno == EINTR) {
                pending.push_back({fd, index});
                nextStartAt = Clock::now() + delay;
                break;
            }
            fail(TConnectResult::TStage::Connect, errno);
            ::close(fd);
        }
        result.Attempts = int(next);
        if (pending.empty())
            return result; // every address failed: the last failure stands

        int waitMs = -1;
        if (next < addresses.size())
            waitMs = MsUntil(nextStartAt);
        if (limited)
            waitMs = waitMs < 0 ? MsUntil(deadline) : std::min(waitMs, MsUntil(deadline));

        std::vector<pollfd> fds;
        for (const Attempt &a : pending)
            fds.push_back({a.Fd, POLLOUT, 0});
        if (options.CancelFd >= 0)
            fds.push_back({options.CancelFd, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), waitMs);
        if (ready < 0 && errno != EINTR) {
            fail(TConnectResult::TStage::Connect, errno);
            CloseAll(pending);
            return result;
        }
        if (options.CancelFd >= 0 && fds.back().revents != 0) {
            CloseAll(pending);
            fail(TConnectResult::TStage::Cancelled, ECANCELED);
            return result;
        }
        bool anyFailed = false;
        for (size_t i = 0; ready > 0 && i < pending.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            int soError = 0;
            socklen_t soLength = sizeof soError;
            if (::getsockopt(pending[i].Fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0)
                soError = errno;
            if (soError == 0) {
                const Attempt winner = pending[i];
                pending.erase(pending.begin() + long(i));
                return win(winner.Fd, winner.Index);
            }
            fail(TConnectResult::TStage::Connect, soError);
            ::close(pending[i].Fd);
            pending[i].Fd = -1;
            anyFailed = true;
        }
        std::erase_if(pending, [](const Attempt &a) { return a.Fd < 0; });
        // A failed attempt hands over to the next address at once.
        if (anyFailed)
            nextStartAt = Clock::now();
        if (limited && Clock::now() >= deadline) {
            CloseAll(pending);
            fail(TConnectResult::TStage::Timeout, ETIMEDOUT);
            return result;
        }
    }
}

TConnectResult TcpConnect(const std::string &host, uint16_t port, const TConnectOptions &options)
{
    TConnectResult result;
    if (CancelRaised(options.CancelFd)) {
        result.Stage = TConnectResult::TStage::Cancelled;
        result.ErrorCode = ECANCELED;
        return result;
    }
    std::vector<TResolvedAddress> found;
    int savedErrno = 0;
    const int family = FamilyOf(options.Version);
    const int code = options.Resolver ? options.Resolver(host, family, found, savedErrno)
                                      : SystemResolve(host, family, found, savedErrno);
    // A resolver may hand back more than was asked for; the choice of version is kept here.
    std::erase_if(found, [family](const TResolvedAddress &a) {
        return family != AF_UNSPEC && a.Address.ss_family != family;
    });
    if (code != 0 || found.empty()) {
        result.Stage = TConnectResult::TStage::Lookup;
        result.ErrorCode = code != 0 ? code : EAI_NONAME;
        result.SavedErrno = savedErrno;
        return result;
    }
    for (TResolvedAddress &a : found)
        SetPort(a, port);
    return TcpConnectAddresses(RaceOrder(found), options);
}
