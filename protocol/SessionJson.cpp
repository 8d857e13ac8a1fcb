#include "protocol/SessionJson.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence at pos, or 0.
size_t utf8Length(std::string_view text, size_t pos)
{
    const auto lead = uint8_t(text[pos]);
    size_t extra = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - pos <= extra)
        return 0;
    for (size_t i = 1; i <= extra; ++i) {
        const auto next = uint8_t(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}


class Reader
{
public:
    explicit Reader(std::string_view text)
        : FText(text)
    {
    }

    bool document(SessionJson &out)
    {
        skipBlanks();
        if (!value(out, 0))
            return false;
        skipBlanks();
        if (FPos != FText.size())
            return fail("text after the value");
        return true;
    }

    std::string error;

private:
    bool fail(const char *why)
    {
        if (error.empty())
            error = why;
        return false;
    }

    void skipBlanks()
    {
        while (FPos < FText.size()
               && (FText[FPos] == ' ' || FText[FPos] == '\t' || FText[FPos] == '\r' || FText[FPos] == '\n'))
            ++FPos;
    }

    bool literal(std::string_view word)
    {
        if (FText.substr(FPos, word.size()) != word)
            return fail("unexpected character");
        FPos += word.size();
        return true;
    }

    bool value(SessionJson &out, int depth)
    {
        if (FPos >= FText.size())
            return fail("unexpected end of line");
        const char c = FText[FPos];
        switch (c) {
        case '{':
            return object(out, depth + 1);
        case '[':
            return array(out, depth + 1);
        case '"':
            out.kind = SessionJson::Kind::String;
            return string(out.text);
        case 't':
            out.kind = SessionJson::Kind::Bool;
            out.boolean = true;
            return literal("true");
        case 'f':
            out.kind = SessionJson::Kind::Bool;
            out.boolean = false;
            return literal("false");
        case 'n':
            out.kind = SessionJson::Kind::Null;
            return literal("null");
        default:
            if (c == '-' || (c >= '0' && c <= '9'))
                return number(out);
            return fail("unexpected character");
        }
    }

    bool object(SessionJson &out, int depth)
    {
        return items(out, depth, SessionJson::Kind::Object, '}', [&] {
            if (FPos >= FText.size() || FText[FPos] != '"')
                return fail("expected a member name");
            std::string key;
            if (!string(key))
                return false;
            for (const SessionJson &member : out.items)
                if (member.key == key)
                    return fail("duplicate member name");
            skipBlanks();
            if (FPos >= FText.size() || FText[FPos] != ':')
                return fail("expected ':'");
            ++FPos;
            skipBlanks();
            out.items.emplace_back();
            out.items.back().key = std::move(key);
            return value(out.items.back(), depth);
        });
    }

    bool array(SessionJson &out, int depth)
    {
        return items(out, depth, SessionJson::Kind::Array, ']', [&] {
            out.items.emplace_back();
            return value(out.items.back(), depth);
        });
    }

    // The items of an object or an array, from its opening character to close; item reads
    // one at the current position.
    template <typename ReadItem>
    bool items(SessionJson &out, int depth, SessionJson::Kind kind, char close, const ReadItem &item)
    {
        if (depth > SessionJson::MaxDepth)
            return fail("nested too deeply");
        out.kind = kind;
        ++FPos;
        skipBlanks();
        if (FPos < FText.size() && FText[FPos] == close) {
            ++FPos;
            return true;
        }
        for (;;) {
            skipBlanks();
            if (!item())
                return false;
            skipBlanks();
            if (FPos >= FText.size())
                return fail("unexpected end of line");
            if (FText[FPos] == ',') {
                ++FPos;
                continue;
            }
            if (FText[FPos] == close) {
                ++FPos;
                return true;
            }
            return fail(close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
        }
    }

    bool number(SessionJson &out)
    {
        const size_t start = FPos;
        auto digits = [this] {
            const size_t from = FPos;
            while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9')
                ++FPos;
            return FPos - from;
        };
        if (FText[FPos] == '-')
            ++FPos;
        const size_t intStart = FPos;
        const size_t intDigits = digits();
        if (intDigits == 0)
            return fail("bad number");
        if (intDigits > 1 && FText[intStart] == '0')
            return fail("bad number");
        if (FPos < FText.size() && FText[FPos] == '.') {
            ++FPos;
            if (digits() == 0)
                return fail("bad number");
        }
        if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
            ++FPos;
            if (FPos < FText.size() && (FText[FPos] == '+' || FText[FPos] == '-'))
                ++FPos;
            if (digits() == 0)
                return fail("bad number");
        }
        out.kind = SessionJson::Kind::Number;
        out.text.assign(FText.substr(start, FPos - start));
        return true;
    }

    static void appendUtf8(std::string &out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(uint32_t &unit)
    {
        if (FText.size() - FPos < 4)
            return fail("bad escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = FText[FPos++];
            unit <<= 4;
            if (h >= '0' && h <= '9')
                unit |= uint32_t(h - '0');
            else if (h >= 'a' && h <= 'f')
                unit |= uint32_t(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                unit |= uint32_t(h - 'A' + 10);
            else
                return fail("bad escape");
        }
        return true;
    }

    // One UTF-8 sequence at FPos, checked strictly (no overlong forms, no surrogates).
    bool utf8Sequence(std::string &out)
    {
        const size_t n = utf8Length(FText, FPos);
        if (n == 0)
            return fail("not UTF-8");
        out.append(FText.substr(FPos, n));
        FPos += n;
        return true;
    }

    bool string(std::string &out)
    {
        ++FPos; // the opening quote
        for (;;) {
            if (FPos >= FText.size())
                return fail("unterminated string");
            const char c = FText[FPos];
            if (c == '"') {
                ++FPos;
                return true;
            }
            if (uint8_t(c) < 0x20)
                return fail("control character in a string");
            if (uint8_t(c) >= 0x80) {
                if (!utf8Sequence(out))
                    return false;
                continue;
            }
            ++FPos;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (FPos >= FText.size())
                return fail("unterminated string");
            const char e = FText[FPos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t unit = 0;
                if (!hex4(unit))
                    return false;
                if (unit >= 0xDC00 && unit <= 0xDFFF)
                    return fail("lone surrogate");
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    uint32_t low = 0;
                    if (FText.substr(FPos, 2) != "\\u")
                        return fail("lone surrogate");
                    FPos += 2;
                    if (!hex4(low))
                        return false;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return fail("lone surrogate");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                appendUtf8(out, unit);
                break;
            }
            default:
                return fail("bad escape");
            }
        }
    }

    std::string_view FText;
    size_t FPos = 0;
};

} // namespace

bool SessionJson::parse(std::string_view text, SessionJson &out, std::string &error)
{
    out = SessionJson();
    Reader reader(text);
    if (reader.document(out))
        return true;
    error = reader.error;
    out = SessionJson();
    return false;
}

const SessionJson *SessionJson::member(std::string_view key) const
{
    if (kind != Kind::Object)
        return nullptr;
    for (const SessionJson &m : items)
        if (m.key == key)
            return &m;
    return nullptr;
}

bool SessionJson::toUnsigned(unsigned long long &value) const
{
    if (kind != Kind::Number || text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool SessionJson::toDouble(double &value) const
{
    if (kind != Kind::Number)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

std::string SessionJson::quote(std::string_view text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (uint8_t(c) >= 0x80) {
            // What is not UTF-8 becomes U+FFFD, so every line written reads back.
            const size_t n = utf8Length(text, i);
            if (n == 0) {
                out += "\ufffd";
            } else {
                out.append(text.substr(i, n));
                i += n - 1;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (uint8_t(c) < 0x20 || c == 0x7F) {
                out += "\\u00";
                out += hex[uint8_t(c) >> 4];
                out += hex[uint8_t(c) & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}
