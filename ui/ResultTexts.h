#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

struct LatencyFigures;
struct TResultRow;

// Texts the main window writes about a test and shows in the results grid, in the
// user's locale. Kept apart from the widgets so the formats can be checked alone.
namespace ResultTexts {

// Nearest integer, halves to the even neighbour; clamped to the int range.
int RoundHalfEven(double value);

// Group separators and exactly two decimals ("1,024.00").
QString FormatNumber2(double value, const QLocale& locale = QLocale());

// "Received 1,024.00 KB (1048576) in 1,234.57 milliseconds"
QString ReceivedLine(double kBytes, qint64 bytes, double milliseconds,
                     const QLocale& locale = QLocale());
// "829.44 KB per second"
QString RateLine(double kbPerSecond, const QLocale& locale = QLocale());
// " Average speed of 829.44KB/s for 3 tests." (MB/s from 1024 KB/s on)
QString AverageText(double averageKbPerSecond, int testCount,
                    const QLocale& locale = QLocale());

// The target with "http://" in front unless it names http:// or https:// anywhere,
// in any letter case.
QString WithWebScheme(const QString& target, const QLocale& locale = QLocale());

// The speed-bar maximum after a test at the given rate: raised to the rounded rate
// when the rate exceeds it, never lowered.
int RaisedSpeedMaximum(int currentMaximum, double rate);

// Grid cells.
QString DurationCell(qint32 milliseconds, const QLocale& locale = QLocale());  // "1234 ms."
QString BytesRxCell(double bytes, const QLocale& locale = QLocale());          // "1048576"
QString ResultCell(double kbPerSecond, const QLocale& locale = QLocale());     // "12.35 KB/S"
QString StartTimeCell(const QDateTime& when);  // short date, long time

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

// The grid's Server cell: the target, and for a session test its direction and streams
// ("host (upload, 4 streams)"); a stream test's row shows the target alone. The bufferbloat
// grade follows where latency was measured ("host (grade B)"), or "grade: not enough probes"
// where it was measured but too few probes were answered.
QString ServerCell(const TResultRow& row);

}  // namespace ResultTexts
