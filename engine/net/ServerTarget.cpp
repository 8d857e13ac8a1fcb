#include "engine/net/ServerTarget.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

// 1 to 65535 in decimal digits; 0 for anything else.
int PortNumber(const std::string &text)
{
    if (text.empty() || text.size() > 5
        || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    const int value = std::stoi(text);
    return value <= 65535 ? value : 0;
}

bool IsIPv6Literal(const std::string &text)
{
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

TServerTarget Failed(const std::string &text, const std::string &why)
{
    TServerTarget target;
    target.Error = "Invalid target \"" + text + "\": " + why;
    return target;
}

} // namespace

TServerTarget ParseServerTarget(const std::string &text)
{
    TServerTarget target;
    if (text.find("://") != std::string::npos)
        return Failed(text, ServerTarget::WebAddressReason);
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return Failed(text, "the IPv6 address has no closing bracket.");
        const std::string inner = text.substr(1, close - 1);
        // Zone ids stay refused, as in web addresses: they name an interface of this machine
        // only, and the log and history would keep a text that means nothing elsewhere.
        if (inner.find('%') != std::string::npos)
            return Failed(text, "zone ids are not supported.");
        if (!IsIPv6Literal(inner))
            return Failed(text, "\"" + inner + "\" is not an IPv6 address.");
        target.Host = inner;
        const std::string rest = text.substr(close + 1);
        if (rest.empty())
            return target;
        if (rest.front() != ':' || (target.Port = PortNumber(rest.substr(1))) == 0)
            return Failed(text, "the port after the address must be a number from 1 to 65535.");
        return target;
    }

    const size_t colons = size_t(std::count(text.begin(), text.end(), ':'));
    if (colons == 0) {
        target.Host = text;
        return target;
    }
    if (colons == 1) {
        const size_t colon = text.find(':');
        target.Host = text.substr(0, colon);
        target.Port = PortNumber(text.substr(colon + 1));
        if (target.Host.empty())
            return Failed(text, "the host before the port is missing.");
        if (target.Port == 0)
            return Failed(text, "the port after the host must be a number from 1 to 65535.");
        return target;
    }
    // Several colons: an IPv6 address without brackets, so without a port.
    if (text.find('%') != std::string::npos)
        return Failed(text, "zone ids are not supported.");
    if (!IsIPv6Literal(text))
        return Failed(text, "an IPv6 address with a port is written in brackets, as [::1]:8081.");
    target.Host = text;
    return target;
}
