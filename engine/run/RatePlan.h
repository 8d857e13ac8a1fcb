#pragma once

#include "engine/session/TSessionTest.h"

#include <QString>

// The rates a user pays for on a link, in bits per second as providers sell them. A rate of
// 0 means no plan in that direction.
struct TRatePlan
{
    double DownBps = 0;
    double UpBps = 0;

    bool IsSet() const { return DownBps > 0 || UpBps > 0; }
    double Bps(TSessionDirection direction) const { return direction == TSessionDirection::Upload ? UpBps : DownBps; }

    // "DOWN/UP" or "DOWN": a number with an optional k, M or G (powers of 1000, as in any
    // price list), such as 100M/20M or 1.5G. False with a text saying what is wrong.
    static bool Parse(const QString &text, TRatePlan &plan, QString &error);
    // The short form Parse reads back: 100M/20M, or 100M with no upload plan.
    QString Text() const;
    static QString RateText(double bps);

    // The share of planBps a rate in KB (1024 bytes) per second reached; -1 without a plan.
    static double Share(double rateKBps, double planBps);

    bool operator==(const TRatePlan &) const = default;
};
