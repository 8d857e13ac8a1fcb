#pragma once

#include <QString>

#include <stdexcept>

// Raised by TUri::MergeURL when neither the URL nor the current URI gives a port.
class EHttpUnknownProtocol : public std::runtime_error
{
public:
    EHttpUnknownProtocol() : std::runtime_error("Unknown Protocol") {}

    QString Message() const { return QString::fromUtf8(what()); }
};
