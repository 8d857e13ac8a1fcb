// The session port's state machine, driven by hostile clients: the input is a list of
// operations (connect, send bytes, a request, joins, echo floods, payload, reads, resets,
// half-closes, the clock moving on), run against a SessionServer in an epoll loop of the
// harness's own over socketpairs, on a clock of its own. Whatever the order, the server must
// not crash or touch freed memory (the sanitizers watch), and once enough time has passed
// every session is over and every descriptor it took is closed.

#include "fuzz/FuzzCheck.h"

#include "tools/korvane-server/GracefulCloser.h"
#include "tools/korvane-server/ServerOptions.h"
#include "protocol/SessionAuth.h"
#include "protocol/SessionMessage.h"
#include "tools/korvane-server/SessionServer.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t kMs = 1000000;
constexpr size_t kMaxClients = 48;
int64_t gNow = 0;

int64_t fakeClock()
{
    return gNow;
}

class Input
{
public:
    Input(const uint8_t *data, size_t size)
        : FData(data)
        , FSize(size)
    {
    }
    bool done() const { return FAt >= FSize; }
    uint8_t byte() { return FAt < FSize ? FData[FAt++] : 0; }
    std::string bytes(size_t most)
    {
        const size_t n = std::min(most, FSize - std::min(FAt, FSize));
        std::string out(reinterpret_cast<const char *>(FData + FAt), n);
        FAt += n;
        return out;
    }

private:
    const uint8_t *FData;
    size_t FSize;
    size_t FAt = 0;
};

struct Client
{
    int fd = -1;
    std::string in;      // bytes received, not yet split into lines
    std::string nonce;   // from its hello
    std::string session; // from an accepted
};

struct Harness
{
    int epoll = -1;
    std::string secret;
    std::vector<Client> clients;
    std::vector<std::string> sessions; // every id a client was given
    std::vector<int> serverEnds;

    void learn(Client &c)
    {
        size_t end;
        while ((end = c.in.find('\n')) != std::string::npos) {
            SessionMessage m;
            std::string error;
            if (SessionProtocol::parse(std::string_view(c.in).substr(0, end), m, error)) {
                if (const auto *hello = std::get_if<SessionHello>(&m))
                    c.nonce = hello->nonce;
                else if (const auto *accepted = std::get_if<SessionAccepted>(&m))
                    sessions.push_back(c.session = accepted->session);
            }
            c.in.erase(0, end + 1);
        }
    }

    void read(Client &c, size_t most)
    {
        char buffer[16384];
        while (most > 0 && c.fd >= 0) {
            const ssize_t n = ::recv(c.fd, buffer, std::min(most, sizeof buffer), MSG_DONTWAIT);
            if (n <= 0)
                return;
            most -= size_t(n);
            // Payload on data connections is not lines; only the head of a connection is.
            if (c.in.size() + size_t(n) < SessionProtocol::MaxServerLineBytes)
                c.in.append(buffer, size_t(n));
            else
                c.in.clear();
            learn(c);
        }
    }

    static void send(const Client &c, const std::string &bytes)
    {
        if (c.fd >= 0)
            [[maybe_unused]] const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
};

// Runs what is ready, a bounded number of rounds: the server's work per event is bounded
// and level-triggered sockets come back in the next round.
void pump(int epoll, SessionServer &server, GracefulCloser &closer)
{
    epoll_event events[64];
    for (int round = 0; round < 8; ++round) {
        const int n = epoll_wait(epoll, events, 64, 0);
        if (n <= 0)
            return;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (closer.owns(fd))
                closer.handle(fd, events[i].events);
            else if (server.owns(fd))
                server.handle(fd, events[i].events, gNow);
        }
    }
}

void advance(int64_t ns, SessionServer &server, GracefulCloser &closer)
{
    gNow += ns;
    server.runDue(gNow);
    server.sweep(gNow);
    closer.sweep(gNow);
}

SessionRequest request(Input &in)
{
    SessionRequest r;
    const uint8_t how = in.byte();
    r.direction = how % 3 == 0 ? SessionDirection::Download : how % 3 == 1 ? SessionDirection::Upload : SessionDirection::Both;
    r.streams = 1 + in.byte() % 5;
    if (how & 0x80)
        r.bytes = 1 + uint64_t(in.byte()) * 4099;
    else
        r.seconds = 0.1 + in.byte() % 8 * 0.25;
    return r;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input in(data, size);
    const int firstFree = ::dup(0);
    ::close(firstFree);

    const uint8_t setup = in.byte();
    ServerOptions options;
    options.maxSessions = 1 + setup % 4;
    options.maxSessionsPerAddress = 1 + (setup >> 2) % 3;
    options.maxStreams = 1 + (setup >> 4) % 4;
    options.rate = setup & 0x40 ? 2000000 : 0;
    options.maxSessionSeconds = 3;
    options.maxSessionBytes = 1 << 20;
    options.stallSeconds = 2;
    Harness h;
    h.secret = setup & 0x80 ? "s3cret" : "";
    gNow = 1000 * 1000 * kMs;
    h.epoll = epoll_create1(EPOLL_CLOEXEC);
    FUZZ_CHECK(h.epoll >= 0);
    {
        GracefulCloser closer(h.epoll, int64_t(options.stallSeconds * 1e9));
        SessionServer server(options, h.epoll, closer, h.secret, fakeClock);

        while (!in.done()) {
            const uint8_t op = in.byte();
            const uint8_t pick = in.byte();
            Client *c = h.clients.empty() ? nullptr : &h.clients[pick % h.clients.size()];
            switch (op % 10) {
            case 0: {
                if (h.clients.size() >= kMaxClients)
                    break;
                int pair[2];
                if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
                    break;
                // Small buffers: a client that does not read fills them at once.
                const int buffer = 4096 << (in.byte() % 6);
                setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
                h.clients.push_back(Client{pair[0], {}, {}, {}});
                h.serverEnds.push_back(pair[1]);
                server.adopt(pair[1], "192.0.2." + std::to_string(in.byte() % 3), gNow);
                break;
            }
            case 1:
                if (c)
                    Harness::send(*c, in.bytes(in.byte()));
                break;
            case 2:
                if (c) {
                    SessionRequest r = request(in);
                    if (!h.secret.empty() && !c->nonce.empty())
                        r.auth = SessionAuth::proof(h.secret, c->nonce);
                    Harness::send(*c, SessionProtocol::write(r));
                }
                break;
            case 3:
                if (c && !h.sessions.empty()) {
                    const std::string &id = h.sessions[in.byte() % h.sessions.size()];
                    Harness::send(*c, SessionProtocol::write(SessionJoin{id, uint32_t(in.byte() % 12)}));
                }
                break;
            case 4:
                if (c) {
                    std::string echoes;
                    const int count = 1 + in.byte() * 16;
                    for (int i = 0; i < count; ++i)
                        echoes += SessionProtocol::write(SessionEcho{uint64_t(i)});
                    Harness::send(*c, echoes);
                }
                break;
            case 5:
                if (c)
                    Harness::send(*c, std::string(size_t(in.byte()) * 1024 + 1, 'u'));
                break;
            case 6:
                if (c)
                    h.read(*c, in.byte() % 2 ? SIZE_MAX : size_t(in.byte()) * 64);
                break;
            case 7:
                // Closed with unread bytes, a unix socket resets its peer as TCP would.
                if (c && c->fd >= 0) {
                    ::close(c->fd);
                    c->fd = -1;
                }
                break;
            case 8:
                if (c && c->fd >= 0)
                    ::shutdown(c->fd, SHUT_WR);
                break;
            case 9:
                advance(int64_t(in.byte()) * 20 * kMs, server, closer);
                break;
            }
            pump(h.epoll, server, closer);
        }

        // Every wait has a deadline: long after the last operation nothing is held.
        for (int step = 0; step < 4; ++step) {
            advance(100 * 1000 * kMs, server, closer);
            pump(h.epoll, server, closer);
        }
        FUZZ_CHECK(!server.busy());
        FUZZ_CHECK(closer.size() == 0);
        for (const int fd : h.serverEnds)
            FUZZ_CHECK(!server.owns(fd));
        ServerCounters counters;
        server.addCounters(counters);
        FUZZ_CHECK(counters.activeSessions == 0 && counters.activeSessionStreams == 0);
    }
    for (const Client &c : h.clients)
        if (c.fd >= 0)
            ::close(c.fd);
    ::close(h.epoll);
    // Every descriptor the server took is closed.
    const int nextFree = ::dup(0);
    ::close(nextFree);
    FUZZ_CHECK(nextFree == firstFree);
    return 0;
}
