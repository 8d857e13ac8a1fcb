#pragma once

#include <QString>
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

    static constexpr int ServerMaxLength = 255;

    bool operator==(const TResultRow &) const = default;
};
