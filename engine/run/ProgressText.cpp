#include "engine/run/ProgressText.h"

#include "engine/NumberFormat.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace ProgressText {

QString Amount(int64_t bytes)
{
    const double kb = double(bytes) / 1024;
    if (kb < 1024)
        return NumberFormat::twoDecimals(kb) + QStringLiteral(" KB");
    if (kb < 1024.0 * 1024)
        return NumberFormat::twoDecimals(kb / 1024) + QStringLiteral(" MB");
    return NumberFormat::twoDecimals(kb / 1024 / 1024) + QStringLiteral(" GB");
}

QString Rate(double kbPerSecond)
{
    if (!std::isfinite(kbPerSecond) || kbPerSecond < 0)
        kbPerSecond = 0;
    if (kbPerSecond < 1024)
        return NumberFormat::twoDecimals(kbPerSecond) + QStringLiteral(" KB/s");
    if (kbPerSecond < 1024.0 * 1024)
        return NumberFormat::twoDecimals(kbPerSecond / 1024) + QStringLiteral(" MB/s");
    return NumberFormat::twoDecimals(kbPerSecond / 1024 / 1024) + QStringLiteral(" GB/s");
}

QString Elapsed(int64_t microseconds)
{
    const int64_t us = std::max<int64_t>(microseconds, 0);
    // Rounded like every other figure: 20.971 s reads 21.0 s, and 59.96 s a minute.
    const int64_t tenths = (us + 50'000) / 100'000;
    if (tenths < 600)
        return QLocale::system().toString(double(tenths) / 10, 'f', 1) + QStringLiteral(" s");
    // Whole seconds are enough once a test has run for minutes.
    const int64_t seconds = (us + 500'000) / 1'000'000;
    const auto two = [](int64_t v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    if (seconds < 3600)
        return QString::number(seconds / 60) + u':' + two(seconds % 60);
    return QString::number(seconds / 3600) + u':' + two(seconds / 60 % 60) + u':' + two(seconds % 60);
}

int PercentDone(const TTestProgress &progress)
{
    if (progress.ExpectedBytes <= 0)
        return -1;
    // Rounded down, so 100 % means the whole length has arrived.
    const long double share = (long double)progress.BytesSoFar * 100 / progress.ExpectedBytes;
    return int(std::clamp<long double>(std::floor(share), 0, 100));
}

QString Figures(const TTestProgress &progress, const QString &separator)
{
    QString text = Amount(progress.BytesSoFar) + separator + Elapsed(progress.ElapsedUs) + separator
                   + Rate(progress.IntervalRate);
    const int percent = PercentDone(progress);
    if (percent >= 0)
        text += separator + QStringLiteral("%1 %").arg(percent);
    return text;
}

} // namespace ProgressText
