#pragma once

#include <QString>
#include <stdexcept>

// A report failure with a message meant for the log; the window's
// application-wide handler writes it as "ERROR - " + what().
class EReportError : public std::runtime_error
{
public:
    explicit EReportError(const QString &message)
        : std::runtime_error(message.toStdString()), FMessage(message) {}

    QString message() const { return FMessage; }

private:
    QString FMessage;
};
