#include "settings/TargetPlans.h"

#include "settings/AppIniFileStorage.h"

#include <QStringList>

#include <algorithm>

namespace {

const QString Section = QStringLiteral("Plans\\");
const QString TargetList = QStringLiteral("Plans\\Targets");

} // namespace

void TTargetPlans::Set(const QString& target, const TRatePlan& plan)
{
    if (plan.IsSet())
        Plans.insert(Key(target), plan);
    else
        Plans.remove(Key(target));
}

void TTargetPlans::Load(const TAppIniFileStorage& store)
{
    *this = TTargetPlans();
    // One item per target: the plan, a blank, then the target, which may hold anything.
    for (const QString& item : store.ReadStringList(TargetList)) {
        const qsizetype blank = item.indexOf(u' ');
        TRatePlan plan;
        QString error;
        if (blank > 0 && TRatePlan::Parse(item.left(blank), plan, error) && !Key(item.mid(blank + 1)).isEmpty())
            Set(item.mid(blank + 1), plan);
    }
    const auto readInt = [&](const char* key, int low, int high, int fallback) {
        bool ok = false;
        const int value = store.ReadInteger(Section + QLatin1String(key), fallback, &ok);
        return ok && value >= low && value <= high ? value : fallback;
    };
    SharePercent = readInt("Share", 1, 100, DefaultSharePercent);
    Notify = readInt("Notify", 0, 1, 0) == 1;
    NoticeOf = readInt("NoticeOf", 1, MaxNoticeOf, DefaultNoticeOf);
    NoticeSlow = readInt("NoticeSlow", 1, NoticeOf, std::min(DefaultNoticeSlow, NoticeOf));
}

void TTargetPlans::Save(TAppIniFileStorage& store) const
{
    const bool inFile = store.PathIsList(TargetList) || store.ValueStored(Section + QStringLiteral("Share"));
    if (!inFile && *this == TTargetPlans())
        return;
    QStringList items;
    for (auto it = Plans.cbegin(); it != Plans.cend(); ++it)
        items << it.value().Text() + u' ' + it.key();
    store.WriteStringList(TargetList, items);
    store.WriteInteger(Section + QStringLiteral("Share"), SharePercent);
    store.WriteInteger(Section + QStringLiteral("Notify"), Notify ? 1 : 0);
    store.WriteInteger(Section + QStringLiteral("NoticeSlow"), NoticeSlow);
    store.WriteInteger(Section + QStringLiteral("NoticeOf"), NoticeOf);
}
