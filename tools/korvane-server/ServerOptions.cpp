#include "tools/korvane-server/ServerOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <netdb.h>
#include <string_view>

namespace {

bool parseUnsigned(const std::string &text, uint64_t max, uint64_t &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

// A century in seconds: far beyond any test, and its nanoseconds still fit in 64 bits.
constexpr double kMaxSeconds = 100.0 * 365.25 * 86400;

bool parseSeconds(const std::string &text, double &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno == ERANGE || *end != '\0' || !std::isfinite(v) || v <= 0 || v > kMaxSeconds)
        return false;
    value = v;
    return true;
}

bool isNumericAddress(const std::string &text)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &ai) != 0)
        return false;
    freeaddrinfo(ai);
    return true;
}

// ADDR:PORT, an IPv6 address in brackets.
bool parseEndpoint(const std::string &text, std::string &address, int &port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false; // an IPv6 address without brackets is ambiguous
    uint64_t number = 0;
    if (host.empty() || !isNumericAddress(host) || !parseUnsigned(text.substr(colon + 1), 65535, number))
        return false;
    address = host;
    port = int(number);
    return true;
}

} // namespace

const char *ServerOptions::usage()
{
    return "Usage: korvane-server [--listen ADDR] [--port N] [--bytes N | --seconds S] [--rate BYTES_PER_SEC]\n"
           "                      [--metrics ADDR:PORT] [--session-port N] [--secret-file PATH]\n"
           "                      [session limits] [--stall-limit S] [--send-buffer BYTES]\n"
           "                      [--congestion NAME]\n"
           "Streams bytes to every client that connects, then closes the connection.\n"
           "On the session port it serves sessions: parallel streams, download and upload.\n"
           "  --listen ADDR   numeric IPv4 or IPv6 address to listen on, ::1 or [::1] (default ::,\n"
           "                  every IPv4 and IPv6 address)\n"
           "  --port N        TCP port, 0 picks a free one (default 8081)\n"
           "  --bytes N       bytes sent per connection (default 104857600)\n"
           "  --seconds S     stream for S seconds per connection instead\n"
           "  --rate R        pace each connection at R bytes per second\n"
           "  --metrics ADDR:PORT  serve GET /metrics for Prometheus there ([::1]:PORT for IPv6)\n"
           "  --session-port N     session port, 0 picks a free one (default 8082; when the\n"
           "                       default is taken the server serves streams only)\n"
           "  --secret-file PATH   serve sessions only to clients that know the secret in PATH\n"
           "  --max-sessions N     sessions at once (default 32)\n"
           "  --max-streams N      streams per session, 1 to 64 (default 64)\n"
           "  --max-session-seconds S  longest session (default 60)\n"
           "  --max-sessions-per-address N  sessions at once from one address (default 4)\n"
           "  --max-session-bytes N  bytes one session may move (default 1099511627776)\n"
           "  --stall-limit S      cut a connection that takes nothing for S seconds (default 30)\n"
           "  --send-buffer BYTES  most unsent bytes queued per connection, 0 = no limit of ours\n"
           "                       (default 262144)\n"
           "  --congestion NAME    TCP congestion control of every data connection (default: the\n"
           "                       system's)\n"
           "  -h, --help      show this help and exit\n"
           "  --version       show the version and exit\n";
}

bool ServerOptions::parse(int argc, char **argv, ServerOptions &options, bool &help, std::string &error)
{
    help = false;
    bool haveBytes = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (arg == "-h" || arg == "--help") {
            help = true;
            return true;
        }
        if (arg == "--version") {
            options.version = true;
            return true;
        }
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        const bool known = arg == "--listen" || arg == "--port" || arg == "--bytes" || arg == "--seconds" || arg == "--rate"
                           || arg == "--metrics" || arg == "--session-port" || arg == "--secret-file"
                           || arg == "--max-sessions" || arg == "--max-streams" || arg == "--max-session-seconds"
                           || arg == "--max-sessions-per-address" || arg == "--max-session-bytes"
                           || arg == "--stall-limit" || arg == "--send-buffer" || arg == "--congestion";
        if (!known) {
            error = "unknown argument: " + std::string(argv[i]);
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                error = "missing value for " + arg;
                return false;
            }
            value = argv[++i];
        }
        uint64_t number = 0;
        if (arg == "--listen") {
            // An IPv6 address may come bare or in brackets; a port belongs in --port.
            std::string address = value;
            if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
                address = address.substr(1, address.size() - 2);
                if (address.find(':') == std::string::npos)
                    address.clear();
            }
            if (address.empty() || address.find_first_of("[]") != std::string::npos || !isNumericAddress(address)) {
                error = "listen address must be a numeric IPv4 or IPv6 address (the port goes in --port): " + value;
                return false;
            }
            options.listenAddress = address;
            options.listenGiven = true;
        } else if (arg == "--port") {
            if (!parseUnsigned(value, 65535, number)) {
                error = "port must be a number from 0 to 65535: " + value;
                return false;
            }
            options.port = uint16_t(number);
        } else if (arg == "--bytes") {
            if (!parseUnsigned(value, UINT64_MAX, number)) {
                error = "bytes must be a whole number: " + value;
                return false;
            }
            options.bytes = number;
            haveBytes = true;
        } else if (arg == "--seconds") {
            if (!parseSeconds(value, options.seconds)) {
                error = "seconds must be a number above 0, at most a century: " + value;
                return false;
            }
        } else if (arg == "--metrics") {
            if (!parseEndpoint(value, options.metricsAddress, options.metricsPort)) {
                error = "metrics address must be ADDR:PORT with a numeric address, an IPv6 one in brackets ([::1]:9101): " + value;
                return false;
            }
        } else if (arg == "--rate") {
            if (!parseUnsigned(value, UINT64_MAX, number) || number == 0) {
                error = "rate must be a whole number of bytes per second above 0: " + value;
                return false;
            }
            options.rate = number;
        } else if (arg == "--session-port") {
            if (!parseUnsigned(value, 65535, number)) {
                error = "session port must be a number from 0 to 65535: " + value;
                return false;
            }
            options.sessionPort = uint16_t(number);
            options.sessionPortGiven = true;
        } else if (arg == "--secret-file") {
            if (value.empty()) {
                error = "secret file must be a path";
                return false;
            }
            options.secretFile = value;
        } else if (arg == "--max-sessions" || arg == "--max-sessions-per-address") {
            if (!parseUnsigned(value, 100000, number) || number == 0) {
                error = arg.substr(2) + " must be a whole number from 1 to 100000: " + value;
                return false;
            }
            (arg == "--max-sessions" ? options.maxSessions : options.maxSessionsPerAddress) = uint32_t(number);
        } else if (arg == "--max-streams") {
            if (!parseUnsigned(value, 64, number) || number == 0) {
                error = "max-streams must be a whole number from 1 to 64: " + value;
                return false;
            }
            options.maxStreams = uint32_t(number);
        } else if (arg == "--max-session-seconds" || arg == "--stall-limit") {
            double seconds = 0;
            if (!parseSeconds(value, seconds) || seconds > 86400 || (arg == "--max-session-seconds" && seconds < 0.1)) {
                error = arg.substr(2) + " must be a number of seconds from " + (arg == "--stall-limit" ? "above 0" : "0.1")
                        + " to 86400: " + value;
                return false;
            }
            (arg == "--stall-limit" ? options.stallSeconds : options.maxSessionSeconds) = seconds;
        } else if (arg == "--max-session-bytes") {
            if (!parseUnsigned(value, UINT64_MAX, number) || number == 0) {
                error = "max-session-bytes must be a whole number above 0: " + value;
                return false;
            }
            options.maxSessionBytes = number;
        } else if (arg == "--send-buffer") {
            if (!parseUnsigned(value, 1u << 30, number)) {
                error = "send buffer must be a whole number of bytes up to 1073741824: " + value;
                return false;
            }
            options.sendBuffer = number;
        } else if (arg == "--congestion") {
            // The kernel's names: short, lower-case letters, digits and underscores.
            const bool plain = !value.empty() && value.size() < 16
                               && value.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
            if (!plain) {
                error = "congestion control must be a name such as cubic or bbr: " + value;
                return false;
            }
            options.congestion = value;
        }
    }
    if (haveBytes && options.seconds > 0) {
        error = "--bytes and --seconds cannot be combined";
        return false;
    }
    return true;
}
