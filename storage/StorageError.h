#pragma once

#include <QString>
#include <stdexcept>

// Failure of the results table or its file. Derives from std::exception so the
// application-wide handler can log what() (UTF-8) like any other failure.
class EStorageError : public std::runtime_error
{
public:
    explicit EStorageError(const QString &message)
        : std::runtime_error(message.toStdString()), FMessage(message) {}

    const QString &message() const noexcept { return FMessage; }

private:
    QString FMessage;
};
