#include "engine/run/RatePlan.h"

#include <QStringList>

#include <cmath>

namespace {

// Beyond 10 Tbit/s a plan is a typo, not a line.
constexpr double MaxBps = 1e13;

bool ParseRate(QString text, double &bps, QString &error)
{
    text = text.trimmed();
    double factor = 1;
    if (!text.isEmpty()) {
        const QChar unit = text.back();
        if (unit == u'k' || unit == u'K')
            factor = 1e3;
        else if (unit == u'M')
            factor = 1e6;
        else if (unit == u'G')
            factor = 1e9;
        if (factor > 1)
            text.chop(1);
    }
    bool ok = false;
    const double number = text.toDouble(&ok);
    // "m" is left out on purpose: milli would be nonsense, and reading it as mega hides a typo.
    if (text.isEmpty() || !ok || !std::isfinite(number)) {
        error = QStringLiteral("not a rate: \"%1\"").arg(text);
        return false;
    }
    bps = number * factor;
    if (bps <= 0 || bps > MaxBps) {
        error = QStringLiteral("a rate must be above 0 and at most 10000G");
        return false;
    }
    return true;
}

} // namespace

bool TRatePlan::Parse(const QString &text, TRatePlan &plan, QString &error)
{
    const QStringList parts = text.split(u'/');
    QString why;
    TRatePlan parsed;
    const bool ok = parts.size() <= 2 && ParseRate(parts.value(0), parsed.DownBps, why)
                    && (parts.size() < 2 || ParseRate(parts.value(1), parsed.UpBps, why));
    if (!ok) {
        error = QStringLiteral("a plan is DOWN/UP in bits per second with k, M or G, such as 100M/20M (%1): %2")
                    .arg(why.isEmpty() ? QStringLiteral("more than one /") : why, text);
        return false;
    }
    plan = parsed;
    return true;
}

QString TRatePlan::RateText(double bps)
{
    struct Unit
    {
        double factor;
        char suffix;
    };
    for (const Unit unit : {Unit{1e9, 'G'}, Unit{1e6, 'M'}, Unit{1e3, 'k'}})
        if (bps >= unit.factor)
            return QString::number(bps / unit.factor, 'g', 12) + QLatin1Char(unit.suffix);
    return QString::number(bps, 'g', 12);
}

QString TRatePlan::Text() const
{
    return UpBps > 0 ? RateText(DownBps) + u'/' + RateText(UpBps) : RateText(DownBps);
}

double TRatePlan::Share(double rateKBps, double planBps)
{
    if (!(planBps > 0) || !std::isfinite(rateKBps))
        return -1;
    return rateKBps * 1024.0 * 8.0 / planBps;
}
