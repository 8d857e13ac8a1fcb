#pragma once

#include <string>
#include <string_view>
#include <vector>

// A JSON value as the session protocol's lines carry it. Strict on purpose, because a
// stranger writes these lines: UTF-8 only, no duplicate keys, bounded nesting, and the
// text of a number is kept so that 64-bit counts are read exactly.
class SessionJson
{
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolean = false;
    std::string text; // a string's decoded UTF-8, or a number's text as written
    std::string key;                // the member's name, for a member of an object
    std::vector<SessionJson> items; // an array's items, or an object's members in the order written

    static constexpr int MaxDepth = 8;

    // Parses the whole of text as one value (blanks around it allowed). False with a
    // short reason in error.
    static bool parse(std::string_view text, SessionJson &out, std::string &error);

    // The member named key of an object, or nullptr.
    const SessionJson *member(std::string_view key) const;

    // Reads a number that is written as a whole number (no fraction, no exponent).
    bool toUnsigned(unsigned long long &value) const;
    // Reads any number.
    bool toDouble(double &value) const;

    // text as a JSON string, quotes included. Control characters are escaped; other
    // bytes pass as they are.
    static std::string quote(std::string_view text);
};
