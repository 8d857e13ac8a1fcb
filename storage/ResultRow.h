#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// Columns of the results table, in table order. XLabel is calculated and never stored.
enum class TResultField { Order, Server, StartTime, Duration, BytesRx, Result, Speed, XLabel };

inline constexpr int ResultFieldCount = 8;

// One stored result. Fields not set before a post stay empty: "" or 0.
struct TResultRow
{
    qint32 Order = 0;       // assigned by the table on post
    QString Server;         // at most ServerMaxLength characters
    double StartTime = 0.0; // local time as days since 30 Dec 1899 (see DayCountDate.h)
    qint32 Duration = 0;    // milliseconds
    double BytesRx = 0.0;   // bytes (or characters of a web page)
    double Result = 0.0;    // KB/s
    double Speed = 0.0;     // KB/s, same value as Result
    // Recorded for session tests only; a row without them is a one-stream download.
    QString Direction{};    // "download", "upload" or empty
    qint32 Streams = 0;     // 1 to 64, or 0 when not recorded
    QString Family{};       // "ipv4", "ipv6" or empty when not known
    // What limited a session test's transfer ("receive_window", "path", ...), or empty.
    QString LimitedBy{};

    static bool IsLimitName(const QString& name)
    {
        static const QStringList names{QStringLiteral("receive_window"), QStringLiteral("send_buffer"),
                                       QStringLiteral("application"),    QStringLiteral("loss"),
                                       QStringLiteral("path"),           QStringLiteral("client_cpu"),
                                       QStringLiteral("unknown")};
        return names.contains(name);
    }

    QString DirectionOrDefault() const { return Direction.isEmpty() ? QStringLiteral("download") : Direction; }
    qint32 StreamsOrDefault() const { return Streams > 0 ? Streams : 1; }
    // True when the row records anything beyond a one-stream download.
    bool HasTestShape() const { return !Direction.isEmpty() || Streams > 0 || !Family.isEmpty() || !LimitedBy.isEmpty(); }

    static constexpr int ServerMaxLength = 255;

    bool operator==(const TResultRow &) const = default;
};
