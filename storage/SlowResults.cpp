#include "storage/SlowResults.h"

namespace SlowResults {

bool SameSeries(const TResultRow& a, const TResultRow& b)
{
    return a.Server == b.Server && a.Port == b.Port && a.DirectionOrDefault() == b.DirectionOrDefault();
}

bool Slow(const TResultRow& row, double share)
{
    const double reached = row.PlanShare();
    return reached >= 0 && reached < share;
}

int CountInLast(const QVector<TResultRow>& rows, int index, double share, int of)
{
    if (index < 0 || index >= rows.size())
        return 0;
    int seen = 0, slow = 0;
    for (int i = index; i >= 0 && seen < of; --i) {
        if (!SameSeries(rows[i], rows[index]))
            continue;
        ++seen;
        slow += Slow(rows[i], share) ? 1 : 0;
    }
    return slow;
}

} // namespace SlowResults
