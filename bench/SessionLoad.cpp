// Load for korvane-server's session port: runs sessions the way a client does and prints
// what it measured. Run by session-throughput.sh; asserts nothing.
//
//   korvane-bench-session-load PORT download|upload STREAMS SECONDS
//   korvane-bench-session-load PORT paced SESSIONS SECONDS RATE

#include "SessionMessage.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
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

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s PORT download|upload STREAMS SECONDS | PORT paced SESSIONS SECONDS RATE\n", argv[0]);
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
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
