#pragma once

#include "engine/run/RatePlan.h"

#include <QMap>
#include <QString>

class TAppIniFileStorage;

// The plan a user pays for on each target, as typed in the Server box (a Korvane server or a
// web address), and what counts as falling short of it. Kept in the settings file's [Plans]
// section, which stays out of the file until a plan or a choice here is made.
class TTargetPlans
{
public:
    static constexpr int DefaultSharePercent = 80;
    static constexpr int DefaultNoticeSlow = 3;
    static constexpr int DefaultNoticeOf = 5;
    static constexpr int MaxNoticeOf = 10;

    // The target's plan; none (IsSet false) when it has none.
    TRatePlan For(const QString& target) const { return Plans.value(Key(target)); }
    // A plan that is not set removes the target's.
    void Set(const QString& target, const TRatePlan& plan);
    static QString Key(const QString& target) { return target.trimmed(); }

    QMap<QString, TRatePlan> Plans;
    // A result below this share of its plan is slow: the History tab shades it.
    int SharePercent = DefaultSharePercent;
    double Share() const { return SharePercent / 100.0; }
    // A desktop notice when a result makes NoticeSlow of the target's last NoticeOf slow.
    bool Notify = false;
    int NoticeSlow = DefaultNoticeSlow;
    int NoticeOf = DefaultNoticeOf;

    // Values out of range, and plans that cannot be read, fall back to none or the defaults.
    void Load(const TAppIniFileStorage& store);
    void Save(TAppIniFileStorage& store) const;

    bool operator==(const TTargetPlans&) const = default;
};
