#pragma once

#include "engine/run/TTestProgress.h"

#include <QString>

// Short texts of live figures, for the window's status pane and the command line's meter.
// Units are 1024-based like the results: KB, MB and GB.
namespace ProgressText {

// "812.00 KB", "12.34 MB", "1.20 GB".
QString Amount(int64_t bytes);
// "512.00 KB/s", "1.25 MB/s", "5.60 GB/s".
QString Rate(double kbPerSecond);
// "4.2 s" below a minute, then "1:05" and "1:02:03".
QString Elapsed(int64_t microseconds);
// Whole percent of the announced length, 0 to 100; -1 when no length is known.
int PercentDone(const TTestProgress &progress);
// Amount, time, rate and the percent when known: "12.34 MB  4.2 s  2.90 MB/s  45 %".
QString Figures(const TTestProgress &progress, const QString &separator = QStringLiteral("  "));

} // namespace ProgressText
