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
    // The server's port (stream or session port); 0 when not recorded or a web page, whose
    // target carries its own.
    qint32 Port = 0;
    // What limited a session test's transfer ("receive_window", "path", ...), or empty.
    QString LimitedBy{};
    // Latency measured beside the test, in milliseconds; -1 where not measured.
    double IdleLatencyMs = -1;
    double LoadedLatencyMs = -1;
    double LoadedLatencyP90Ms = -1;
    double Rpm = -1;          // round trips per minute under load
    QString Grade{};          // bufferbloat grade A+ .. F, or empty
    qint32 LostProbes = -1;   // probes that got no answer; -1 where not measured
    // The plan in the row's direction when it was measured, in bits per second; 0 for none.
    // Kept with the row, so a later change of plan leaves earlier results as they were.
    double PlanBps = 0;

    static bool IsGrade(const QString& grade)
    {
        static const QStringList grades{QStringLiteral("A+"), QStringLiteral("A"), QStringLiteral("B"),
                                        QStringLiteral("C"),  QStringLiteral("D"), QStringLiteral("F")};
        return grades.contains(grade);
    }

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
    // True when latency was measured beside the test.
    bool HasLatency() const
    {
        return IdleLatencyMs >= 0 || LoadedLatencyMs >= 0 || LoadedLatencyP90Ms >= 0 || Rpm >= 0 || !Grade.isEmpty()
               || LostProbes >= 0;
    }

    // The share of the plan the rate reached; -1 without a plan.
    double PlanShare() const { return PlanBps > 0 ? Speed * 1024.0 * 8.0 / PlanBps : -1; }

    static constexpr int ServerMaxLength = 255;

    bool operator==(const TResultRow &) const = default;
};
