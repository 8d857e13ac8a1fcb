#include "tools/korvane-server/MetricsEndpoint.h"

#include "tools/korvane-server/ListenSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string fixedResponse(const char *status, const std::string &extraHeaders, const std::string &body,
                          const char *type = "text/plain; charset=utf-8")
{
    return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type + "\r\nContent-Length: "
           + std::to_string(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

void family(std::string &out, const char *name, const char *type, const char *help, const std::string &value)
{
    out += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n' + name + ' ' + value
           + '\n';
}

} // namespace

MetricsEndpoint::MetricsEndpoint(std::string address, uint16_t port, CountersSource counters)
    : FAddress(std::move(address))
    , FPort(port)
    , FCounters(std::move(counters))
{
}

MetricsEndpoint::~MetricsEndpoint()
{
    for (auto &[fd, c] : FClients)
        ::close(fd);
}

bool MetricsEndpoint::open(int epollFd)
{
    FEpoll = epollFd;
    int error = 0;
    std::string message;
    const int listenFd = openListenSocket(FAddress, FPort, 64, error, message);
    if (listenFd < 0) {
        std::fprintf(stderr, "korvane-server: cannot listen for metrics on %s port %u: %s\n",
                     bracketedAddress(FAddress).c_str(), unsigned(FPort), strerror(error));
        return false;
    }
    std::fprintf(stderr, "korvane-server: metrics on %s\n", listeningText(listenFd).c_str());
    // When descriptors run out the listener pauses a moment instead of spinning, and then
    // serves whoever waited.
    return FListener.watch(FEpoll, listenFd);
}

bool MetricsEndpoint::owns(int fd) const
{
    return fd == FListener.fd() || FClients.count(fd) != 0;
}

void MetricsEndpoint::handle(int fd, uint32_t events, int64_t now)
{
    if (fd == FListener.fd()) {
        accept(now);
        return;
    }
    auto it = FClients.find(fd);
    if (it == FClients.end())
        return;
    if (events & EPOLLERR) {
        close(fd);
        return;
    }
    if (it->second.out.empty())
        readFrom(fd, it->second);
    else
        writeTo(fd, it->second);
}

void MetricsEndpoint::accept(int64_t now)
{
    FListener.acceptClients(now, [this](int fd, const sockaddr_storage &, socklen_t) {
        if (FClients.size() >= MaxClients)
            closeOldest();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ::close(fd);
            return;
        }
        FClients[fd].sequence = ++FSequence;
    });
}

void MetricsEndpoint::readFrom(int fd, Client &c)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(buffer, size_t(n));
            if (c.in.size() > MaxHeadBytes)
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        close(fd); // closed or failed before a whole request came
        return;
    }
    const bool complete = c.in.find("\r\n\r\n") != std::string::npos || c.in.find("\n\n") != std::string::npos;
    if (!complete && c.in.size() <= MaxHeadBytes)
        return;
    c.out = complete ? respond(c.in) : fixedResponse("400 Bad Request", "", "Bad Request\n");
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.fd = fd;
    epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev);
    writeTo(fd, c);
}

void MetricsEndpoint::writeTo(int fd, Client &c)
{
    while (!c.out.empty()) {
        const ssize_t n = ::send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return; // the rest when the socket can take it
        if (n < 0) {
            close(fd);
            return;
        }
        c.out.erase(0, size_t(n));
    }
    ::shutdown(fd, SHUT_WR);
    close(fd);
}

void MetricsEndpoint::close(int fd)
{
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
    // Unread request bytes would turn the close into a reset that can destroy the response.
    // Bounded: a client that keeps sending gets its reset, not the loop's time.
    char sink[4096];
    for (int reads = 0; reads < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++reads) {
    }
    ::close(fd);
    FClients.erase(fd);
}

void MetricsEndpoint::closeOldest()
{
    auto oldest = std::min_element(FClients.begin(), FClients.end(),
                                   [](const auto &a, const auto &b) { return a.second.sequence < b.second.sequence; });
    if (oldest != FClients.end())
        close(oldest->first);
}

std::string MetricsEndpoint::respond(const std::string &head) const
{
    const size_t lineEnd = head.find('\n');
    std::string line = head.substr(0, lineEnd);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    const std::string version = sp2 == std::string::npos ? std::string() : line.substr(sp2 + 1);
    if (sp1 == 0 || sp2 == std::string::npos || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return fixedResponse("400 Bad Request", "", "Bad Request\n");
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    if (method != "GET")
        return fixedResponse("405 Method Not Allowed", "Allow: GET\r\n", "Method Not Allowed\n");
    if (target.substr(0, target.find('?')) != "/metrics")
        return fixedResponse("404 Not Found", "", "Not Found\n");
    return fixedResponse("200 OK", "", metricsText(FCounters()), "text/plain; version=0.0.4; charset=utf-8");
}

std::string MetricsEndpoint::metricsText(const ServerCounters &c)
{
    char start[64];
    std::snprintf(start, sizeof start, "%.3f", c.startTimeSeconds);
    std::string out;
    family(out, "korvane_server_connections_total", "counter", "Connections accepted since the server started.",
           std::to_string(c.connectionsTotal));
    family(out, "korvane_server_active_connections", "gauge", "Connections open now.",
           std::to_string(c.activeConnections));
    family(out, "korvane_server_paced_connections", "gauge", "Open connections paced by --rate.",
           std::to_string(c.pacedConnections));
    family(out, "korvane_server_sent_bytes_total", "counter", "Bytes sent to clients, open connections included.",
           std::to_string(c.bytesSentTotal));
    family(out, "korvane_server_errors_total", "counter", "Connections ended by an error, and failed accepts.",
           std::to_string(c.errorsTotal));
    family(out, "korvane_server_start_time_seconds", "gauge", "Unix time the server started.", start);

    family(out, "korvane_server_sessions_total", "counter", "Sessions accepted on the session port since the server started.",
           std::to_string(c.sessionsTotal));
    family(out, "korvane_server_active_sessions", "gauge", "Sessions open now.", std::to_string(c.activeSessions));
    family(out, "korvane_server_failed_sessions_total", "counter", "Accepted sessions that ended with an error.",
           std::to_string(c.sessionsFailedTotal));
    family(out, "korvane_server_session_streams_total", "counter", "Data connections joined to sessions.",
           std::to_string(c.sessionStreamsTotal));
    family(out, "korvane_server_active_session_streams", "gauge", "Data connections of open sessions.",
           std::to_string(c.activeSessionStreams));
    family(out, "korvane_server_session_sent_bytes_total", "counter", "Download bytes sent by sessions, open ones included.",
           std::to_string(c.sessionBytesSentTotal));
    family(out, "korvane_server_session_received_bytes_total", "counter",
           "Upload bytes counted by sessions, open ones included.", std::to_string(c.sessionBytesReceivedTotal));
    family(out, "korvane_server_refused_joins_total", "counter",
           "Data connections closed because their join named no session of theirs that was joining.",
           std::to_string(c.refusedJoinsTotal));
    static const char *const reasons[int(SessionRefusal::Count)] = {"busy", "address", "auth", "request", "timeout"};
    out += "# HELP korvane_server_refused_sessions_total Sessions refused, by reason: busy (too many sessions), address "
           "(too many from one address), auth (secret not proven), request (malformed or beyond a limit), timeout (no "
           "request in time).\n# TYPE korvane_server_refused_sessions_total counter\n";
    for (int i = 0; i < int(SessionRefusal::Count); ++i)
        out += std::string("korvane_server_refused_sessions_total{reason=\"") + reasons[i] + "\"} "
               + std::to_string(c.refusedSessions[i]) + '\n';
    return out;
}
