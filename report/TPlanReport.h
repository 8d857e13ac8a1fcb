#pragma once

#include "storage/ResultRow.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

// "Results against the plan": the text of a report to send a provider, for a chosen period,
// from the stored results of every target that had a plan: the plan, each result below the
// chosen share with its time, the median by hour of the day and by day of the week, the
// failures the log recorded, and how the tests were made. Rates in Mbit/s (10^6 bits), as
// providers sell them.
class TPlanReport
{
public:
    struct TInput
    {
        QVector<TResultRow> Rows;
        double Share = 0.8;       // below this share of the plan a result is slow
        QDate From, To;           // the period, both days included
        QStringList LogLines;     // the window's log, for the failures
    };

    static QString Title() { return QStringLiteral("Results against the plan"); }
    static QString Text(const TInput& input);

    // The parts the text is made of, for those who check its figures.
    static double Median(QVector<double> values);
    static double Mbps(double kbPerSecond) { return kbPerSecond * 1024 * 8 / 1e6; }
    static bool InPeriod(double startTime, const QDate& from, const QDate& to);
};
