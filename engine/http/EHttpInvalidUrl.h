#pragma once

#include <QString>

#include <stdexcept>

// Raised by TUri::MergeURL for a URL whose host no host name can be (a NUL, a blank, a
// control or another byte a host name cannot hold).
class EHttpInvalidUrl : public std::runtime_error
{
public:
    EHttpInvalidUrl() : std::runtime_error("Invalid URL: the host name is not valid.") {}

    QString Message() const { return QString::fromUtf8(what()); }
};
