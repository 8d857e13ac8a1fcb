#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

// Base of every failure the program reports: it carries the message shown to the user.
class Exception : public std::exception
{
public:
    explicit Exception(const QString &message);

    const QString &Message() const noexcept { return FMessage; }
    const char *what() const noexcept override;

    // What to tell a person about any exception: our own message, or the library's text.
    static QString MessageOf(const std::exception &e);

private:
    QString FMessage;
    QByteArray FUtf8; // what() must hand out a pointer that outlives the call
};
