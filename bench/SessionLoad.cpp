// Load for korvane-server's session port: runs sessions the way a client does and prints
// what it measured. Run by session-throughput.sh; asserts nothing.
//
//   korvane-bench-session-load PORT download|upload STREAMS SECONDS
//   korvane-bench-session-load PORT paced SESSIONS SECONDS RATE
//   korvane-bench-session-load PORT flood STREAMS SECONDS

#include "protocol/SessionMessage.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int connectTo(int port, int receiveBuffer = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

bool readLine(int fd, std::string &line)
{
    line.clear();
    for (char c; ::recv(fd, &c, 1, 0) == 1;) {
        if (c == '\n')
            return true;
        line += c;
    }
    return false;
}

SessionMessage readMessage(int fd)
{
    std::string line, error;
    SessionMessage m = SessionError{"connection closed"};
    if (readLine(fd, line) && !SessionProtocol::parse(line, m, error))
        m = SessionError{error};
    return m;
}

void sendLine(int fd, const SessionMessage &m)
{
    const std::string line = SessionProtocol::write(m);
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

struct Result
{
    uint64_t bytes = 0;
    int64_t firstNs = 0, lastNs = 0;
    SessionSummary summary;
    std::string error;
};

const std::vector<char> &payload()
{
    static const std::vector<char> bytes = [] {
        std::vector<char> b(1 << 20);
        std::mt19937_64 g(42);
        for (char &c : b)
            c = char(g());
        return b;
    }();
    return bytes;
}

Result runSession(int port, SessionDirection direction, uint32_t streams, double seconds)
{
    Result r;
    const int control = connectTo(port);
    readMessage(control);
    SessionRequest q;
    q.direction = direction;
    q.streams = streams;
    q.seconds = seconds;
    sendLine(control, q);
    SessionMessage m = readMessage(control);
    if (!std::holds_alternative<SessionAccepted>(m)) {
        r.error = std::holds_alternative<SessionError>(m) ? std::get<SessionError>(m).error : "no answer";
        ::close(control);
        return r;
    }
    const std::string id = std::get<SessionAccepted>(m).session;
    std::vector<int> data(streams, -1);
    std::vector<std::thread> workers;
    std::atomic<uint64_t> total{0};
    std::atomic<int64_t> first{0}, last{0};
    std::atomic<uint32_t> joined{0};
    // Each stream joins on a thread of its own that is already waiting in recv when the
    // first byte comes, so the first byte is timed when it arrives.
    for (uint32_t i = 0; i < streams; ++i)
        workers.emplace_back([&, i] {
            const int fd = connectTo(port);
            data[i] = fd;
            sendLine(fd, SessionJoin{id, i});
            std::string hello;
            readLine(fd, hello);
            ++joined;
            if (direction != SessionDirection::Download)
                return;
            // Counted, not read: the kernel drops the bytes without copying them.
            static thread_local char sink[1 << 20];
            uint64_t mine = 0;
            for (;;) {
                const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_TRUNC);
                if (n <= 0)
                    break;
                if (mine == 0) {
                    int64_t expected = 0;
                    first.compare_exchange_strong(expected, nowNs());
                }
                mine += uint64_t(n);
            }
            const int64_t t = nowNs();
            int64_t seen = last.load();
            while (t > seen && !last.compare_exchange_weak(seen, t)) {
            }
            total += mine;
            ::close(fd);
        });
    if (direction == SessionDirection::Upload) {
        for (auto &w : workers)
            w.join();
        workers.clear();
    }
    for (;;) {
        m = readMessage(control);
        if (std::holds_alternative<SessionStart>(m) && direction == SessionDirection::Upload) {
            for (int fd : data)
                workers.emplace_back([fd, seconds] {
                    const auto &p = payload();
                    const int64_t end = nowNs() + int64_t(seconds * 1e9);
                    uint64_t at = 0;
                    while (nowNs() < end) {
                        const size_t off = at % p.size();
                        const ssize_t n = ::send(fd, p.data() + off, std::min<size_t>(p.size() - off, 256 << 10), MSG_NOSIGNAL);
                        if (n <= 0)
                            break;
                        at += uint64_t(n);
                    }
                    ::shutdown(fd, SHUT_WR);
                    char c;
                    while (::recv(fd, &c, 1, 0) > 0) {
                    }
                    ::close(fd);
                });
        }
        if (const auto *s = std::get_if<SessionSummary>(&m))
            r.summary = *s;
        if (const auto *e = std::get_if<SessionError>(&m)) {
            r.error = e->error;
            break;
        }
        if (std::holds_alternative<SessionEnd>(m))
            break;
    }
    for (auto &w : workers)
        w.join();
    ::close(control);
    r.bytes = total;
    r.firstNs = first;
    r.lastNs = last;
    return r;
}

// One client floods: it opens a session and sends echo lines in 50 KB batches, reading the
// replies or never reading them (a small window, so the server's backlog grows), and opens
// the next session whenever the server ends one, until stop.
void floodEchoes(int port, bool readReplies, const std::atomic<bool> &stop)
{
    std::string batch;
    for (uint64_t id = 0; batch.size() < 50000; ++id)
        batch += SessionProtocol::write(SessionEcho{id});
    static thread_local char sink[1 << 16];
    while (!stop) {
        const int control = connectTo(port, readReplies ? 0 : 4096);
        readMessage(control);
        SessionRequest q;
        q.seconds = 60;
        sendLine(control, q);
        if (!std::holds_alternative<SessionAccepted>(readMessage(control))) {
            ::close(control);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        size_t at = 0;
        bool open = true;
        while (open && !stop) {
            pollfd p{control, short(POLLOUT | (readReplies ? POLLIN : 0)), 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            open = !(p.revents & (POLLERR | POLLHUP));
            if (open && (p.revents & POLLIN)) {
                ssize_t n;
                while ((n = ::recv(control, sink, sizeof sink, MSG_DONTWAIT)) > 0) {
                }
                open = n != 0;
            }
            if (open && (p.revents & POLLOUT)) {
                const ssize_t n = ::send(control, batch.data() + at, batch.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    at = (at + size_t(n)) % batch.size();
                open = n > 0 || errno == EAGAIN || errno == EWOULDBLOCK;
            }
        }
        ::close(control);
    }
}

// How long new connections wait for their hello, one every 100 ms until stop: the median
// and the longest, in ms.
std::pair<double, double> helloWaits(int port, const std::atomic<bool> &stop)
{
    std::vector<double> waits;
    while (!stop) {
        const int64_t t0 = nowNs();
        const int fd = connectTo(port);
        std::string hello;
        readLine(fd, hello);
        waits.push_back(double(nowNs() - t0) / 1e6);
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::sort(waits.begin(), waits.end());
    return waits.empty() ? std::pair{0.0, 0.0} : std::pair{waits[waits.size() / 2], waits.back()};
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s PORT download|upload|flood STREAMS SECONDS | PORT paced SESSIONS SECONDS RATE\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string mode = argv[2];
    const uint32_t count = uint32_t(std::atoi(argv[3]));
    const double seconds = std::atof(argv[4]);
    if (mode == "download" || mode == "upload") {
        const bool upload = mode == "upload";
        const Result r = runSession(port, upload ? SessionDirection::Upload : SessionDirection::Download, count, seconds);
        if (!r.error.empty()) {
            std::fprintf(stderr, "session failed: %s\n", r.error.c_str());
            return 1;
        }
        // A download's rate is the client's; an upload's the server's own span.
        const uint64_t bytes = upload ? r.summary.bytes : r.bytes;
        const double span = upload ? double(r.summary.durationUs) / 1e6 : double(r.lastNs - r.firstNs) / 1e9;
        std::printf("%llu %.6f %.3f\n", static_cast<unsigned long long>(bytes), span, double(bytes) / span / 1e6);
        return 0;
    }
    if (mode == "paced" && argc >= 6) {
        const double rate = std::atof(argv[5]);
        std::vector<Result> results(count);
        std::vector<std::thread> sessions;
        for (uint32_t i = 0; i < count; ++i)
            sessions.emplace_back([&, i] { results[i] = runSession(port, SessionDirection::Download, 1, seconds); });
        for (auto &t : sessions)
            t.join();
        double worst = 0, sum = 0;
        uint64_t bytes = 0;
        int failed = 0;
        for (const Result &r : results) {
            if (!r.error.empty() || r.lastNs <= r.firstNs) {
                ++failed;
                continue;
            }
            const double error = std::fabs(double(r.bytes) / (double(r.lastNs - r.firstNs) / 1e9) / rate - 1) * 100;
            worst = std::max(worst, error);
            sum += error;
            bytes += r.bytes;
        }
        std::printf("%llu %.4f %.4f %d\n", static_cast<unsigned long long>(bytes), worst,
                    count > uint32_t(failed) ? sum / double(count - uint32_t(failed)) : 0.0, failed);
        return failed ? 1 : 0;
    }
    if (mode == "flood") {
        // A paced download alone, then beside a flood whose replies are read, then beside one
        // whose replies are not: its rate against the one alone, and the hello waits.
        for (const char *flood : {"none", "read", "unread"}) {
            std::atomic<bool> stop{false};
            std::thread flooder;
            if (std::string(flood) != "none")
                flooder = std::thread(floodEchoes, port, std::string(flood) == "read", std::cref(stop));
            std::pair<double, double> waits;
            std::thread prober([&] { waits = helloWaits(port, stop); });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const Result r = runSession(port, SessionDirection::Download, count, seconds);
            stop = true;
            prober.join();
            if (flooder.joinable())
                flooder.join();
            if (!r.error.empty() || r.lastNs <= r.firstNs) {
                std::fprintf(stderr, "session failed: %s\n", r.error.c_str());
                return 1;
            }
            std::printf("%s %.4f %.3f %.3f\n", flood, double(r.bytes) / (double(r.lastNs - r.firstNs) / 1e9) / 1e6,
                        waits.first, waits.second);
        }
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
