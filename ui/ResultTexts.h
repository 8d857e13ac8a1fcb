#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

struct TResultRow;

// Texts the main window shows in the results grid and its panes, in the user's locale. Kept
// apart from the widgets so the formats can be checked alone; the result lines of a test are
// the engine's (ResultLines), shared with korvane-cli.
namespace ResultTexts {

// Nearest integer, halves to the even neighbour; clamped to the int range.
int RoundHalfEven(double value);

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
// The share of its plan a row's rate reached, shown on its speed bar: "83 % of plan"; empty
// without a plan.
QString ShareCell(const TResultRow& row);
QString StartTimeCell(const QDateTime& when);  // short date, long time

// The grid's Server cell: the target, and for a session test its direction and streams
// ("host (upload, 4 streams)"); a stream test's row shows the target alone. The bufferbloat
// grade follows where latency was measured ("host (grade B)"), or "grade: not enough probes"
// where it was measured but too few probes were answered.
QString ServerCell(const TResultRow& row);

}  // namespace ResultTexts
