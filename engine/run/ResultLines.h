#pragma once

#include "engine/run/TestOutcome.h"

#include <QLocale>
#include <QString>
#include <QStringList>

// The texts of a test's result lines, for every front end. The window's lines are in the
// user's locale; korvane-cli's keep a fixed form that scripts can read.
namespace ResultLines {

// The window's lines, in the user's locale.
// Group separators and exactly two decimals ("1,024.00").
QString FormatNumber2(double value, const QLocale& locale = QLocale());
// "Received 1,024.00 KB (1048576) in 1,234.57 milliseconds"
QString ReceivedLine(double kBytes, qint64 bytes, double milliseconds, const QLocale& locale = QLocale());
// "829.44 KB per second"
QString RateLine(double kbPerSecond, const QLocale& locale = QLocale());
// The live graph's figures once a test has ended: the result's amount, time and rate in the
// style of the live figures ("100.00 MB  10.0 s  9.80 MB/s"; "12.00 KB  34 ms  352.94 KB/s"
// under a second).
QString LiveResultFigures(double bytes, double milliseconds, double kbPerSecond);
// What follows them when latency was measured: "loaded latency 23.40 ms, grade B", or what
// is missing for want of probes ("loaded latency 23.40 ms, grade: not enough probes").
QString LiveLatencyFigures(const LatencyFigures& figures);
// The same in brief for a direction of a session in the graph's title: "23.40 ms, B", or
// "latency: not enough probes".
QString ShortLatencyFigures(const LatencyFigures& figures);
// The status pane's latency after the rate figures while a test runs: " latency 1.23 ms",
// empty before any probe was answered (negative ms).
QString IntervalLatencyFigure(double ms);

// "download" or "upload".
QString DirectionName(TSessionDirection direction);

// korvane-cli: "1024.00 KB (1048576) in 1234.57 milliseconds", after "Received " or "The
// server received ".
QString Amount(double kBytes, int64_t bytes, double milliseconds);
// korvane-cli: "829.44 KB per second".
QString PlainRateLine(double kbPerSecond);
// "83.2 % of the plan (100M)": the share of the plan a rate reached; empty without a plan.
QString PlanLine(double share, double planBps);
// korvane-cli: "Stream 2: 512.00 KB in 1000.00 milliseconds, 512.00 KB per second".
QString StreamLine(const TSessionStreamFigures &stream);
// The server's TCP figures of a session direction, and for a download its sending time.
QStringList ServerTcpLines(const TSessionResult &result);
// Tuning advice for a receive window that held the transfer back; empty otherwise.
QString LimitAdvice(const TSessionResult &result);

} // namespace ResultLines
