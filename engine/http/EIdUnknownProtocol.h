#pragma once

#include <QString>

#include <stdexcept>

// Raised by TIdURI::MergeURL when neither the URL nor the current URI gives a port.
class EIdUnknownProtocol : public std::runtime_error
{
public:
    EIdUnknownProtocol() : std::runtime_error("Unknown Protocol") {}

    QString Message() const { return QString::fromUtf8(what()); }
};
