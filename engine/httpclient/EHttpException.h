#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// Base of every failure the HTTP client raises; it carries the message shown to the user.
class EHttpException : public std::exception
{
public:
    explicit EHttpException(const QString &message);

    const QString &Message() const noexcept { return FMessage; }
    const char *what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8; // what() hands out a pointer that must outlive the call
};
