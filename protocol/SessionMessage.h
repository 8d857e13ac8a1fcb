#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// The text messages of the session protocol: one JSON object per line. Both the server
// and the client read and write them here, so the two can never disagree on a field.

enum class SessionDirection { Download, Upload, Both };

// The TCP_INFO figures of one data socket, as the server saw them (0 where the kernel
// lacks a field). The same names as the kernel's (TSocketTcpInfo) and the client's
// (TSessionTcpFigures), so a figure reads alike on every side of the wire.
struct SessionTcpFigures
{
    uint64_t RttUs = 0;
    uint64_t MinRttUs = 0;
    uint64_t Retransmits = 0;     // total over the connection's life
    uint64_t CwndBytes = 0;       // congestion window times the MSS
    uint64_t DeliveryRateBps = 0; // bytes per second
    uint64_t BusyUs = 0;
    uint64_t RwndLimitedUs = 0;
    uint64_t SndbufLimitedUs = 0;
    uint64_t RcvSpace = 0;
    uint64_t RcvRttUs = 0;
    uint64_t AppLimited = 0; // 1: the last delivery was of data sent with nothing more queued

    bool operator==(const SessionTcpFigures &) const = default;
};

// One stream's line in a report or a summary. durationUs is carried by summaries only.
struct SessionStreamFigures
{
    uint32_t stream = 0;
    uint64_t bytes = 0;
    uint64_t durationUs = 0;
    SessionTcpFigures tcp;
    uint64_t pacedUs = 0; // download: time the server's own pace held the stream back

    bool operator==(const SessionStreamFigures &) const = default;
};

struct SessionHello
{
    uint32_t version = 1;
    std::string nonce; // 32 hex digits
    bool auth = false; // the server wants a proof of the shared secret

    bool operator==(const SessionHello &) const = default;
};

// The amount of a session: exactly one of seconds and bytes is above 0.
struct SessionRequest
{
    uint32_t version = 1;
    SessionDirection direction = SessionDirection::Download;
    uint32_t streams = 1;
    double seconds = 0;
    uint64_t bytes = 0;
    std::string auth; // hex HMAC-SHA256 of the nonce, or empty

    bool operator==(const SessionRequest &) const = default;
};

struct SessionAccepted
{
    std::string session; // 32 hex digits
    SessionDirection direction = SessionDirection::Download;
    uint32_t streams = 1;
    double seconds = 0;
    uint64_t bytes = 0;

    bool operator==(const SessionAccepted &) const = default;
};

struct SessionError
{
    std::string error;

    bool operator==(const SessionError &) const = default;
};

struct SessionJoin
{
    std::string session;
    uint32_t stream = 0;

    bool operator==(const SessionJoin &) const = default;
};

// direction is Download or Upload: "both" starts each phase on its own.
struct SessionStart
{
    SessionDirection direction = SessionDirection::Download;

    bool operator==(const SessionStart &) const = default;
};

struct SessionReport
{
    SessionDirection direction = SessionDirection::Download;
    uint64_t elapsedUs = 0;
    std::vector<SessionStreamFigures> streams;

    bool operator==(const SessionReport &) const = default;
};

struct SessionSummary
{
    SessionDirection direction = SessionDirection::Download;
    uint64_t bytes = 0;
    uint64_t durationUs = 0;
    std::vector<SessionStreamFigures> streams;

    bool operator==(const SessionSummary &) const = default;
};

struct SessionEnd
{
    bool operator==(const SessionEnd &) const = default;
};

struct SessionEcho
{
    uint64_t id = 0;

    bool operator==(const SessionEcho &) const = default;
};

using SessionMessage = std::variant<SessionHello, SessionRequest, SessionAccepted, SessionError, SessionJoin,
                                    SessionStart, SessionReport, SessionSummary, SessionEnd, SessionEcho>;

namespace SessionProtocol {

constexpr uint32_t Version = 1;
// The most bytes of a line the client sends, its newline included. The server reads no
// more than this before it gives up on a line.
constexpr size_t MaxLineBytes = 4096;
// The most bytes of a line the server sends: a report on 64 streams does not fit in
// MaxLineBytes, so the client reads up to this.
constexpr size_t MaxServerLineBytes = 65536;
constexpr uint32_t MaxStreams = 64;
// A session runs at least this long when it is timed.
constexpr double MinSeconds = 0.1;
constexpr uint16_t DefaultPort = 8082;

// Reads one line (without its newline, at most MaxServerLineBytes - 1 bytes). False with a text a person can act on in error
// ("malformed request", "unsupported protocol version 2", "streams must be 1 to 64", ...),
// which the server sends back as it is.
bool parse(std::string_view line, SessionMessage &message, std::string &error);

// The message as one line, newline included.
std::string write(const SessionMessage &message);

// "download", "upload", "both".
const char *directionName(SessionDirection direction);
bool directionFromName(std::string_view name, SessionDirection &direction);

// True for exactly 32 lowercase hex digits, the form of nonces and session ids.
bool isToken(std::string_view text);

} // namespace SessionProtocol
