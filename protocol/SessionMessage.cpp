#include "protocol/SessionMessage.h"

#include "protocol/SessionJson.h"

#include <charconv>
#include <cmath>

namespace {

using Kind = SessionJson::Kind;

// A stranger's word quoted in an error text, cut short so the answer stays one short line.
std::string shown(std::string_view word)
{
    constexpr size_t kMost = 40;
    return word.size() <= kMost ? std::string(word) : std::string(word.substr(0, kMost)) + "...";
}

// Reads the fields of one message; the first fault wins and names the field.
class Fields
{
public:
    Fields(const SessionJson &object, std::string what)
        : FObject(object)
        , FWhat(std::move(what))
    {
    }

    bool failed() const { return !error.empty(); }

    void fail(const std::string &text)
    {
        if (error.empty())
            error = text;
    }

    void malformed(std::string_view field) { fail("malformed " + FWhat + ": " + std::string(field)); }

    bool has(std::string_view key) const { return FObject.member(key) != nullptr; }

    uint64_t unsignedNumber(std::string_view key, uint64_t max = UINT64_MAX, bool optional = false)
    {
        const SessionJson *v = FObject.member(key);
        unsigned long long n = 0;
        if (!v) {
            if (!optional)
                malformed(key);
            return 0;
        }
        if (!v->toUnsigned(n) || n > max) {
            malformed(key);
            return 0;
        }
        return n;
    }

    std::string string(std::string_view key, bool optional = false)
    {
        const SessionJson *v = FObject.member(key);
        if (!v) {
            if (!optional)
                malformed(key);
            return {};
        }
        if (v->kind != Kind::String) {
            malformed(key);
            return {};
        }
        return v->text;
    }

    std::string token(std::string_view key)
    {
        std::string text = string(key);
        if (!failed() && !SessionProtocol::isToken(text))
            malformed(key);
        return text;
    }

    bool boolean(std::string_view key)
    {
        const SessionJson *v = FObject.member(key);
        if (!v || v->kind != Kind::Bool) {
            malformed(key);
            return false;
        }
        return v->boolean;
    }

    SessionDirection direction(bool bothAllowed)
    {
        SessionDirection d = SessionDirection::Download;
        const std::string name = string("direction");
        if (!failed() && (!SessionProtocol::directionFromName(name, d) || (!bothAllowed && d == SessionDirection::Both)))
            fail("unknown direction \"" + shown(name) + "\"");
        return d;
    }

    // The protocol version, checked before anything else so that a newer peer hears why.
    uint32_t version()
    {
        const uint64_t v = unsignedNumber("korvane");
        if (!failed() && v != SessionProtocol::Version)
            fail("unsupported protocol version " + std::to_string(v));
        return uint32_t(v);
    }

    uint32_t streams()
    {
        const SessionJson *v = FObject.member("streams");
        unsigned long long n = 0;
        if (!v || !v->toUnsigned(n) || n < 1 || n > SessionProtocol::MaxStreams)
            fail("streams must be 1 to " + std::to_string(SessionProtocol::MaxStreams));
        return uint32_t(n);
    }

    // Exactly one of "seconds" and "bytes".
    void amount(double &seconds, uint64_t &bytes)
    {
        const SessionJson *s = FObject.member("seconds");
        const SessionJson *b = FObject.member("bytes");
        if ((s != nullptr) == (b != nullptr)) {
            fail("malformed " + FWhat + ": give either seconds or bytes");
            return;
        }
        if (s) {
            if (!s->toDouble(seconds) || !(seconds >= SessionProtocol::MinSeconds))
                fail("seconds must be a number of at least 0.1");
            return;
        }
        unsigned long long n = 0;
        if (!b->toUnsigned(n) || n < 1)
            fail("bytes must be a whole number of at least 1");
        bytes = n;
    }

    std::vector<SessionStreamFigures> streamList(bool withDuration)
    {
        std::vector<SessionStreamFigures> list;
        const SessionJson *v = FObject.member("streams");
        if (!v || v->kind != Kind::Array) {
            malformed("streams");
            return list;
        }
        list.reserve(v->items.size());
        for (const SessionJson &item : v->items) {
            if (item.kind != Kind::Object) {
                malformed("streams");
                return list;
            }
            Fields f(item, FWhat);
            SessionStreamFigures s;
            s.stream = uint32_t(f.unsignedNumber("stream", 2 * SessionProtocol::MaxStreams - 1));
            s.bytes = f.unsignedNumber("bytes");
            if (withDuration)
                s.durationUs = f.unsignedNumber("duration_us");
            s.pacedUs = f.unsignedNumber("paced_us", UINT64_MAX, true);
            if (const SessionJson *tcp = item.member("tcp")) {
                if (tcp->kind != Kind::Object) {
                    f.malformed("tcp");
                } else {
                    // A field the sender's kernel lacks may be left out: it reads as 0.
                    Fields t(*tcp, FWhat);
                    s.tcp.RttUs = t.unsignedNumber("rtt_us", UINT64_MAX, true);
                    s.tcp.MinRttUs = t.unsignedNumber("min_rtt_us", UINT64_MAX, true);
                    s.tcp.Retransmits = t.unsignedNumber("retransmits", UINT64_MAX, true);
                    s.tcp.CwndBytes = t.unsignedNumber("cwnd_bytes", UINT64_MAX, true);
                    s.tcp.DeliveryRateBps = t.unsignedNumber("delivery_rate_bps", UINT64_MAX, true);
                    s.tcp.BusyUs = t.unsignedNumber("busy_us", UINT64_MAX, true);
                    s.tcp.RwndLimitedUs = t.unsignedNumber("rwnd_limited_us", UINT64_MAX, true);
                    s.tcp.SndbufLimitedUs = t.unsignedNumber("sndbuf_limited_us", UINT64_MAX, true);
                    s.tcp.RcvSpace = t.unsignedNumber("rcv_space", UINT64_MAX, true);
                    s.tcp.RcvRttUs = t.unsignedNumber("rcv_rtt_us", UINT64_MAX, true);
                    s.tcp.AppLimited = t.unsignedNumber("app_limited", 1, true);
                    if (t.failed())
                        f.fail(t.error);
                }
            }
            if (f.failed()) {
                fail(f.error);
                return list;
            }
            list.push_back(s);
        }
        return list;
    }

    std::string error;

private:
    const SessionJson &FObject;
    std::string FWhat;
};

class Writer
{
public:
    explicit Writer(const char *type)
    {
        FLine = "{\"type\":";
        FLine += SessionJson::quote(type);
    }

    Writer &field(const char *key, const std::string &text)
    {
        name(key);
        FLine += SessionJson::quote(text);
        return *this;
    }
    Writer &field(const char *key, const char *text) { return field(key, std::string(text)); }
    Writer &field(const char *key, uint64_t n)
    {
        name(key);
        FLine += std::to_string(n);
        return *this;
    }
    Writer &field(const char *key, bool b)
    {
        name(key);
        FLine += b ? "true" : "false";
        return *this;
    }
    Writer &seconds(double s)
    {
        name("seconds");
        // The shortest text that reads back as the same number.
        char buffer[64];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::isfinite(s) ? s : 0.0);
        FLine.append(buffer, result.ptr);
        return *this;
    }
    Writer &amount(double s, uint64_t bytes) { return bytes > 0 ? field("bytes", bytes) : seconds(s); }
    Writer &streams(const std::vector<SessionStreamFigures> &list, bool withDuration)
    {
        name("streams");
        FLine += '[';
        bool first = true;
        for (const SessionStreamFigures &s : list) {
            if (!first)
                FLine += ',';
            first = false;
            FLine += "{\"stream\":" + std::to_string(s.stream) + ",\"bytes\":" + std::to_string(s.bytes);
            if (withDuration)
                FLine += ",\"duration_us\":" + std::to_string(s.durationUs);
            if (s.pacedUs > 0)
                FLine += ",\"paced_us\":" + std::to_string(s.pacedUs);
            const SessionTcpFigures &t = s.tcp;
            FLine += ",\"tcp\":{\"rtt_us\":" + std::to_string(t.RttUs) + ",\"min_rtt_us\":" + std::to_string(t.MinRttUs)
                     + ",\"retransmits\":" + std::to_string(t.Retransmits)
                     + ",\"cwnd_bytes\":" + std::to_string(t.CwndBytes)
                     + ",\"delivery_rate_bps\":" + std::to_string(t.DeliveryRateBps)
                     + ",\"busy_us\":" + std::to_string(t.BusyUs)
                     + ",\"rwnd_limited_us\":" + std::to_string(t.RwndLimitedUs)
                     + ",\"sndbuf_limited_us\":" + std::to_string(t.SndbufLimitedUs)
                     + ",\"rcv_space\":" + std::to_string(t.RcvSpace) + ",\"rcv_rtt_us\":" + std::to_string(t.RcvRttUs)
                     + (t.AppLimited ? ",\"app_limited\":1" : "") + "}}";
        }
        FLine += ']';
        return *this;
    }

    std::string line() { return FLine + "}\n"; }

private:
    void name(const char *key)
    {
        FLine += ',';
        FLine += SessionJson::quote(key);
        FLine += ':';
    }

    std::string FLine;
};

struct WriteVisitor
{
    std::string operator()(const SessionHello &m) const
    {
        return Writer("hello").field("korvane", uint64_t(m.version)).field("nonce", m.nonce).field("auth", m.auth).line();
    }
    std::string operator()(const SessionRequest &m) const
    {
        Writer w("request");
        w.field("korvane", uint64_t(m.version))
            .field("direction", SessionProtocol::directionName(m.direction))
            .field("streams", uint64_t(m.streams))
            .amount(m.seconds, m.bytes);
        if (!m.auth.empty())
            w.field("auth", m.auth);
        return w.line();
    }
    std::string operator()(const SessionAccepted &m) const
    {
        return Writer("accepted")
            .field("session", m.session)
            .field("direction", SessionProtocol::directionName(m.direction))
            .field("streams", uint64_t(m.streams))
            .amount(m.seconds, m.bytes)
            .line();
    }
    std::string operator()(const SessionError &m) const { return Writer("error").field("error", m.error).line(); }
    std::string operator()(const SessionJoin &m) const
    {
        return Writer("join").field("session", m.session).field("stream", uint64_t(m.stream)).line();
    }
    std::string operator()(const SessionStart &m) const
    {
        return Writer("start").field("direction", SessionProtocol::directionName(m.direction)).line();
    }
    std::string operator()(const SessionReport &m) const
    {
        return Writer("report")
            .field("direction", SessionProtocol::directionName(m.direction))
            .field("elapsed_us", m.elapsedUs)
            .streams(m.streams, false)
            .line();
    }
    std::string operator()(const SessionSummary &m) const
    {
        return Writer("summary")
            .field("direction", SessionProtocol::directionName(m.direction))
            .field("bytes", m.bytes)
            .field("duration_us", m.durationUs)
            .streams(m.streams, true)
            .line();
    }
    std::string operator()(const SessionEnd &) const { return Writer("end").line(); }
    std::string operator()(const SessionEcho &m) const { return Writer("echo").field("id", m.id).line(); }
};

} // namespace

namespace SessionProtocol {

const char *directionName(SessionDirection direction)
{
    switch (direction) {
    case SessionDirection::Download:
        return "download";
    case SessionDirection::Upload:
        return "upload";
    case SessionDirection::Both:
        return "both";
    }
    return "download";
}

bool directionFromName(std::string_view name, SessionDirection &direction)
{
    for (const SessionDirection d : {SessionDirection::Download, SessionDirection::Upload, SessionDirection::Both}) {
        if (name == directionName(d)) {
            direction = d;
            return true;
        }
    }
    return false;
}

bool isToken(std::string_view text)
{
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool parse(std::string_view line, SessionMessage &message, std::string &error)
{
    if (line.size() >= MaxServerLineBytes) {
        error = "line longer than " + std::to_string(MaxServerLineBytes) + " bytes";
        return false;
    }
    SessionJson json;
    std::string why;
    if (!SessionJson::parse(line, json, why)) {
        error = "malformed message: " + why;
        return false;
    }
    if (json.kind != Kind::Object) {
        error = "malformed message: not a JSON object";
        return false;
    }
    const SessionJson *type = json.member("type");
    if (!type || type->kind != Kind::String) {
        error = "malformed message: no type";
        return false;
    }
    const std::string &name = type->text;
    Fields f(json, name);
    if (name == "hello") {
        SessionHello m;
        m.version = f.version();
        m.nonce = f.token("nonce");
        m.auth = f.boolean("auth");
        message = m;
    } else if (name == "request") {
        SessionRequest m;
        m.version = f.version();
        m.direction = f.direction(true);
        m.streams = f.streams();
        f.amount(m.seconds, m.bytes);
        m.auth = f.string("auth", true);
        message = m;
    } else if (name == "accepted") {
        SessionAccepted m;
        m.session = f.token("session");
        m.direction = f.direction(true);
        m.streams = f.streams();
        f.amount(m.seconds, m.bytes);
        message = m;
    } else if (name == "error") {
        message = SessionError{f.string("error")};
    } else if (name == "join") {
        SessionJoin m;
        m.session = f.token("session");
        m.stream = uint32_t(f.unsignedNumber("stream", 2 * MaxStreams - 1));
        message = m;
    } else if (name == "start") {
        message = SessionStart{f.direction(false)};
    } else if (name == "report") {
        SessionReport m;
        m.direction = f.direction(false);
        m.elapsedUs = f.unsignedNumber("elapsed_us");
        m.streams = f.streamList(false);
        message = m;
    } else if (name == "summary") {
        SessionSummary m;
        m.direction = f.direction(false);
        m.bytes = f.unsignedNumber("bytes");
        m.durationUs = f.unsignedNumber("duration_us");
        m.streams = f.streamList(true);
        message = m;
    } else if (name == "end") {
        message = SessionEnd{};
    } else if (name == "echo") {
        message = SessionEcho{f.unsignedNumber("id")};
    } else {
        error = "unknown message type \"" + shown(name) + "\"";
        return false;
    }
    if (f.failed()) {
        error = f.error;
        return false;
    }
    return true;
}

std::string write(const SessionMessage &message)
{
    return std::visit(WriteVisitor{}, message);
}

} // namespace SessionProtocol
