// pathemu: joins two TUN devices, each in a network namespace of its own, and carries the
// packets between them through an emulated path (rate, queue, delay, jitter, loss), each
// direction on its own thread. The kernel here has no netem; this is the tests' stand-in.
//
//   pathemu --a NETNS:DEV --b NETNS:DEV [options]
//
// "down" is from a to b, "up" from b to a; an option without a direction sets both:
//   --rate R        bits per second; k, m, g suffixes (kbit, mbit, gbit also read)
//   --delay T       one way; s, ms, us suffixes
//   --jitter T      each packet's delay varies by up to T either way, in order
//   --queue T|B     how long a packet may wait for the link (ms, us, s), or how many bytes
//                   may wait (a number, with k or m for KiB or MiB); default 100 ms
//   --loss P        per cent of the packets, dropped at random after the link
//   --seed N        of the random drops and jitter
//   --mtu N         largest packet read (default 65535)
// When both devices are made, it prints "ready" on stdout. SIGTERM or SIGINT ends it; it then
// prints each direction's counts on stderr.

#include "tests/pathemu/PathDirection.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "pathemu: %s\n", what.c_str());
    std::exit(2);
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "20ms", "1.5s", "300us"; a bare number is milliseconds.
int64_t parseTime(const std::string &s)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    const std::string unit(end);
    if (end == s.c_str() || v < 0)
        fail("not a time: " + s);
    if (unit.empty() || unit == "ms")
        return int64_t(v * 1e6);
    if (unit == "us")
        return int64_t(v * 1e3);
    if (unit == "s")
        return int64_t(v * 1e9);
    fail("not a time: " + s);
}

bool isTime(const std::string &s)
{
    return s.size() > 1 && (s.ends_with("ms") || s.ends_with("us") || (s.back() == 's' && std::isdigit(s[s.size() - 2])));
}

int64_t parseBytes(const std::string &s)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    const std::string unit = lower(end);
    if (end == s.c_str() || v < 0)
        fail("not an amount of bytes: " + s);
    if (unit.empty() || unit == "b")
        return int64_t(v);
    if (unit == "k")
        return int64_t(v * 1024);
    if (unit == "m")
        return int64_t(v * 1024 * 1024);
    fail("not an amount of bytes: " + s);
}

double parseRate(const std::string &s)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    std::string unit = lower(end);
    if (unit.ends_with("bit"))
        unit.resize(unit.size() - 3);
    if (end == s.c_str() || v < 0)
        fail("not a rate: " + s);
    if (unit.empty())
        return v;
    if (unit == "k")
        return v * 1e3;
    if (unit == "m")
        return v * 1e6;
    if (unit == "g")
        return v * 1e9;
    fail("not a rate: " + s);
}

double parseLoss(const std::string &s)
{
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    std::string unit(end);
    if (end == s.c_str() || v < 0 || v > 100 || !(unit.empty() || unit == "%"))
        fail("not a loss in per cent: " + s);
    return v / 100;
}

// Makes a TUN device named `dev` in the namespace `netns` (a name under /run/netns, or a
// path); the device stays there, its packets come through the returned descriptor.
int openTun(const std::string &spec)
{
    const auto colon = spec.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == spec.size())
        fail("expected NETNS:DEV, got " + spec);
    std::string ns = spec.substr(0, colon);
    const std::string dev = spec.substr(colon + 1);
    if (dev.size() >= IFNAMSIZ)
        fail("device name too long: " + dev);
    if (ns.find('/') == std::string::npos)
        ns = "/run/netns/" + ns;

    const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int there = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || there < 0)
        fail("cannot open the namespace " + ns + ": " + std::strerror(errno));
    if (setns(there, CLONE_NEWNET) != 0)
        fail("cannot enter the namespace " + ns + ": " + std::strerror(errno));
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        fail(std::string("cannot open /dev/net/tun: ") + std::strerror(errno));
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(ifr.ifr_name, dev.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &ifr) != 0)
        fail("cannot make the TUN device " + dev + ": " + std::strerror(errno));
    if (setns(home, CLONE_NEWNET) != 0)
        fail(std::string("cannot return to this namespace: ") + std::strerror(errno));
    close(there);
    close(home);
    return fd;
}

std::atomic<bool> stopping{false};

// How late the packets of a direction left, against when they were due.
struct Lateness
{
    int64_t Count = 0;
    int64_t SumNs = 0;
    int64_t MaxNs = 0;
    int64_t OverMs = 0; // packets more than a millisecond late
};

struct Packet
{
    int64_t DueNs = 0;
    std::vector<char> Data;
    ssize_t Size = 0;
};

// Reads `in`, writes what the path carries to `out` when it is due.
void carry(int in, int out, int stopFd, PathDirection &path, size_t mtu, Lateness &late)
{
    // A delay line is only as exact as its wake-ups: on a busy machine an ordinary thread
    // wakes milliseconds late. A real-time one wakes on time; it sleeps between packets, and
    // the kernel keeps a share of every second for the rest. Without the right, it stays as
    // it is.
    sched_param rt{};
    rt.sched_priority = 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
    std::deque<Packet> line;
    std::vector<std::vector<char>> spare;
    auto buffer = [&] {
        if (spare.empty())
            return std::vector<char>(mtu);
        std::vector<char> b = std::move(spare.back());
        spare.pop_back();
        return b;
    };
    std::vector<char> next = buffer();
    while (!stopping.load(std::memory_order_relaxed)) {
        int64_t now = nowNs();
        while (!line.empty() && line.front().DueNs <= now) {
            const int64_t by = now - line.front().DueNs;
            ++late.Count;
            late.SumNs += by;
            late.MaxNs = std::max(late.MaxNs, by);
            late.OverMs += by > 1'000'000;
            // A TUN device takes what it is given or drops it; a drop here is a loss as any.
            (void)!write(out, line.front().Data.data(), size_t(line.front().Size));
            spare.push_back(std::move(line.front().Data));
            line.pop_front();
        }
        bool drained = false;
        for (int i = 0; i < 256; ++i) {
            const ssize_t n = read(in, next.data(), next.size());
            if (n < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    fail(std::string("cannot read a TUN device: ") + std::strerror(errno));
                drained = errno == EAGAIN;
                break;
            }
            now = nowNs();
            int64_t due = 0;
            if (path.Admit(now, n, due) == PathDirection::Fate::Carried) {
                line.push_back(Packet{due, std::move(next), n});
                next = buffer();
            }
        }
        if (!drained)
            continue;
        pollfd fds[2] = {{in, POLLIN, 0}, {stopFd, POLLIN, 0}};
        timespec wait{};
        timespec *timeout = nullptr;
        if (!line.empty()) {
            const int64_t ns = std::max<int64_t>(0, line.front().DueNs - nowNs());
            wait.tv_sec = ns / 1'000'000'000;
            wait.tv_nsec = ns % 1'000'000'000;
            timeout = &wait;
        }
        ppoll(fds, 2, timeout, nullptr);
    }
}

struct Options
{
    std::string A, B;
    PathSettings Down, Up;
    uint64_t Seed = 1;
    size_t Mtu = 65535;
};

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::puts("pathemu --a NETNS:DEV --b NETNS:DEV [--[down-|up-]rate|delay|jitter|queue|loss V] "
                      "[--seed N] [--mtu N]");
            std::exit(0);
        }
        if (i + 1 >= argc)
            fail("missing the value of " + name);
        const std::string value = argv[++i];
        if (name == "--a") {
            o.A = value;
            continue;
        }
        if (name == "--b") {
            o.B = value;
            continue;
        }
        if (name == "--seed") {
            o.Seed = std::strtoull(value.c_str(), nullptr, 10);
            continue;
        }
        if (name == "--mtu") {
            o.Mtu = size_t(std::clamp(std::atoi(value.c_str()), 68, 65535));
            continue;
        }
        std::vector<PathSettings *> which{&o.Down, &o.Up};
        if (name.starts_with("--down-")) {
            which = {&o.Down};
            name = "--" + name.substr(7);
        } else if (name.starts_with("--up-")) {
            which = {&o.Up};
            name = "--" + name.substr(5);
        }
        for (PathSettings *s : which) {
            if (name == "--rate")
                s->RateBitsPerSecond = parseRate(value);
            else if (name == "--delay")
                s->DelayNs = parseTime(value);
            else if (name == "--jitter")
                s->JitterNs = parseTime(value);
            else if (name == "--loss")
                s->Loss = parseLoss(value);
            else if (name == "--queue" && isTime(value))
                s->QueueNs = parseTime(value), s->QueueBytes = -1;
            else if (name == "--queue")
                s->QueueBytes = parseBytes(value), s->QueueNs = -1;
            else
                fail("unknown option " + name);
        }
    }
    if (o.A.empty() || o.B.empty())
        fail("--a and --b are needed");
    return o;
}

void report(const char *name, const PathDirection &p, const Lateness &late)
{
    std::fprintf(stderr, "pathemu: %s: %lld packets (%lld bytes) carried, %lld lost at random, %lld dropped at a "
                         "full queue; late by %.0f us on average, %.0f us at most, %lld by over 1 ms\n",
                 name, (long long)p.Carried, (long long)p.CarriedBytes, (long long)p.Lost, (long long)p.QueueDrops,
                 late.Count ? double(late.SumNs) / double(late.Count) / 1e3 : 0.0, double(late.MaxNs) / 1e3,
                 (long long)late.OverMs);
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // Wake-ups to the packet, not to the default 50 µs slack: a 1500-byte packet is 12 µs at 1 Gbit/s.
    prctl(PR_SET_TIMERSLACK, 1000UL);

    const int a = openTun(o.A);
    const int b = openTun(o.B);
    const int stopFd = eventfd(0, EFD_CLOEXEC);
    PathDirection down(o.Down, o.Seed);
    PathDirection up(o.Up, o.Seed * 2 + 1);
    Lateness downLate, upLate;
    std::thread downThread(carry, a, b, stopFd, std::ref(down), o.Mtu, std::ref(downLate));
    std::thread upThread(carry, b, a, stopFd, std::ref(up), o.Mtu, std::ref(upLate));
    std::puts("ready");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&signals, &sig);
    stopping = true;
    const uint64_t one = 1;
    (void)!write(stopFd, &one, sizeof one);
    downThread.join();
    upThread.join();
    report("down", down, downLate);
    report("up", up, upLate);
    return 0;
}
