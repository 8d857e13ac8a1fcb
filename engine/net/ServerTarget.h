#pragma once

#include <string>

// A server-mode target as typed: a host name, an IPv4 address, an IPv6 address bare or in
// brackets, each optionally followed by ":PORT" (an IPv6 address only in brackets, as
// "[::1]:8081", since its own colons leave a bare port ambiguous).
struct TServerTarget
{
    std::string Host; // without brackets; what the lookup gets
    int Port = 0; // 0 when the target names none
    std::string Error; // empty when the target could be read
};

TServerTarget ParseServerTarget(const std::string &text);

namespace ServerTarget {
// Why a target with a scheme ("http://host/") is refused: it names a web page, not a server.
inline constexpr const char *WebAddressReason = "a web address is not a Korvane server.";
} // namespace ServerTarget
