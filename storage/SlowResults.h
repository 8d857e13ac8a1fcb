#pragma once

#include "storage/ResultRow.h"

#include <QVector>

// Results that fell short of their plan, among the latest of one series: the same target,
// port and direction, as the History tab draws them.
namespace SlowResults {

bool SameSeries(const TResultRow& a, const TResultRow& b);
// True when the row had a plan and reached less than share of it.
bool Slow(const TResultRow& row, double share);
// Of the last `of` results of rows[index]'s series, up to and including it, how many are slow.
int CountInLast(const QVector<TResultRow>& rows, int index, double share, int of);

} // namespace SlowResults
