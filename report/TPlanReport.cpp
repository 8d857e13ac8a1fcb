#include "report/TPlanReport.h"

#include "engine/LogTimestamp.h"
#include "engine/run/RatePlan.h"
#include "storage/DayCountDate.h"
#include "storage/SlowResults.h"

#include <QDateTime>
#include <QLocale>
#include <QMap>

#include <algorithm>

namespace {

// Fixed forms, so a provider reads the same report whatever the sender's locale.
QString Time(double startTime)
{
    return DayCountDate::toDateTime(startTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString Rate(double kbPerSecond)
{
    return QString::number(TPlanReport::Mbps(kbPerSecond), 'f', 2) + QStringLiteral(" Mbit/s");
}

QString Percent(double share)
{
    return QString::number(share * 100, 'f', 1) + QStringLiteral(" %");
}

QString SeriesTitle(const TResultRow& row)
{
    QString target = row.Server;
    if (row.Port > 0)
        target += u':' + QString::number(row.Port);
    return target + QStringLiteral(" (") + row.DirectionOrDefault() + u')';
}

QString Row(const QStringList& cells, const QList<int>& widths)
{
    QString line = QStringLiteral("  ");
    for (int i = 0; i < cells.size(); ++i)
        line += i == 0 ? cells[i].leftJustified(widths[i]) : u' ' + cells[i].rightJustified(widths[i]);
    return line.trimmed().isEmpty() ? QString() : line;
}

// The medians of rates and shares of the rows in each group, in the groups' order.
void MedianTable(QStringList& out, const QString& heading, const QString& groupName,
                 const QMap<int, QVector<const TResultRow*>>& groups, const std::function<QString(int)>& label)
{
    out << QString() << heading;
    const QList<int> widths{10, 8, 16, 10};
    out << Row({groupName, QStringLiteral("Results"), QStringLiteral("Median rate"), QStringLiteral("Share")}, widths);
    for (auto it = groups.cbegin(); it != groups.cend(); ++it) {
        QVector<double> rates, shares;
        for (const TResultRow* row : it.value()) {
            rates << row->Speed;
            shares << row->PlanShare();
        }
        out << Row({label(it.key()), QString::number(rates.size()), Rate(TPlanReport::Median(rates)),
                    Percent(TPlanReport::Median(shares))},
                   widths);
    }
}

QString Method(const QVector<const TResultRow*>& rows)
{
    const TResultRow& row = *rows.first();
    QVector<double> durations;
    for (const TResultRow* r : rows)
        durations << r->Duration;
    const bool web = row.Server.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive)
                     || row.Server.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive);
    const int streams = row.StreamsOrDefault();
    const QString how = web ? QStringLiteral("a fetch of the web page %1 over one TCP connection").arg(row.Server)
                        : row.HasTestShape()
                            ? QStringLiteral("a session with the Korvane server %1%2: %3 over %4 TCP %5 at once")
                                  .arg(row.Server,
                                       row.Port > 0 ? QStringLiteral(" on port %1").arg(row.Port) : QString(),
                                       row.DirectionOrDefault())
                                  .arg(streams)
                                  .arg(streams == 1 ? QStringLiteral("stream") : QStringLiteral("streams"))
                            : QStringLiteral("a download from the Korvane server %1%2 over one TCP stream")
                                  .arg(row.Server, row.Port > 0 ? QStringLiteral(" on port %1").arg(row.Port) : QString());
    return QStringLiteral("Each result is one test run by Korvane Client from the sender's computer: %1, lasting %2 s "
                          "(the median of the tests). The time is taken from the first byte received to the last; "
                          "the rate is the data moved in that time in bits per second (1 KB is 1024 bytes, "
                          "1 Mbit is 1,000,000 bits), and the share is that rate over the plan in the same direction.")
        .arg(how, QString::number(TPlanReport::Median(durations) / 1000.0, 'f', 1));
}

} // namespace

double TPlanReport::Median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool TPlanReport::InPeriod(double startTime, const QDate& from, const QDate& to)
{
    const QDate day = DayCountDate::toDateTime(startTime).date();
    return day.isValid() && day >= from && day <= to;
}

QString TPlanReport::Text(const TInput& input)
{
    // Every target with a plan in the period, in the order of its first result.
    QVector<QVector<const TResultRow*>> series;
    for (const TResultRow& row : input.Rows) {
        if (!(row.PlanBps > 0) || !InPeriod(row.StartTime, input.From, input.To))
            continue;
        auto it = std::find_if(series.begin(), series.end(), [&](const QVector<const TResultRow*>& s) {
            return SlowResults::SameSeries(*s.first(), row);
        });
        if (it == series.end())
            series.append({&row});
        else
            it->append(&row);
    }
    const QString percent = QString::number(input.Share * 100, 'g', 3) + QStringLiteral(" %");
    QStringList out;
    out << QStringLiteral("Period: %1 to %2").arg(input.From.toString(Qt::ISODate), input.To.toString(Qt::ISODate));
    out << QStringLiteral("A result below %1 of the plan counts as below the plan.").arg(percent);
    if (series.isEmpty())
        out << QString() << QStringLiteral("No result in the period was measured against a plan.");

    const QStringList days{QString(), QStringLiteral("Monday"), QStringLiteral("Tuesday"), QStringLiteral("Wednesday"),
                           QStringLiteral("Thursday"), QStringLiteral("Friday"), QStringLiteral("Saturday"),
                           QStringLiteral("Sunday")};
    for (QVector<const TResultRow*>& rows : series) {
        std::stable_sort(rows.begin(), rows.end(),
                         [](const TResultRow* a, const TResultRow* b) { return a->StartTime < b->StartTime; });
        out << QString() << SeriesTitle(*rows.first());
        // The plan, and each change of it in the period.
        QStringList plans;
        double plan = -1;
        for (const TResultRow* row : rows)
            if (row->PlanBps != plan) {
                plan = row->PlanBps;
                plans << QStringLiteral("%1 (%2 Mbit/s) from %3")
                             .arg(TRatePlan::RateText(plan), QString::number(plan / 1e6, 'g', 6), Time(row->StartTime));
            }
        out << QStringLiteral("Plan: ") + plans.join(QStringLiteral("; "));
        QVector<const TResultRow*> below;
        QVector<double> shares;
        QMap<int, QVector<const TResultRow*>> byHour, byDay;
        for (const TResultRow* row : rows) {
            if (SlowResults::Slow(*row, input.Share))
                below << row;
            shares << row->PlanShare();
            const QDateTime at = DayCountDate::toDateTime(row->StartTime);
            byHour[at.time().hour()] << row;
            byDay[at.date().dayOfWeek()] << row;
        }
        out << QStringLiteral("Results: %1, of which %2 below the plan (%3); median share of the plan %4.")
                   .arg(rows.size())
                   .arg(below.size())
                   .arg(Percent(double(below.size()) / rows.size()), Percent(Median(shares)));

        out << QString() << QStringLiteral("Results below %1 of the plan").arg(percent);
        const QList<int> widths{20, 16, 10};
        if (below.isEmpty())
            out << QStringLiteral("  None.");
        else
            out << Row({QStringLiteral("Time"), QStringLiteral("Rate"), QStringLiteral("Share")}, widths);
        for (const TResultRow* row : below)
            out << Row({Time(row->StartTime), Rate(row->Speed), Percent(row->PlanShare())}, widths);

        MedianTable(out, QStringLiteral("Median by hour of the day"), QStringLiteral("Hour"), byHour,
                    [](int hour) { return QStringLiteral("%1:00").arg(hour, 2, 10, QLatin1Char('0')); });
        MedianTable(out, QStringLiteral("Median by day of the week"), QStringLiteral("Day"), byDay,
                    [&days](int day) { return days.value(day); });

        out << QString() << QStringLiteral("How the tests were made") << Method(rows);
    }

    // Failed tests leave no result; the log keeps them, with their times.
    out << QString() << QStringLiteral("Failures");
    int failures = 0;
    for (const QString& line : input.LogLines) {
        QDateTime when;
        QString text;
        if (!LogTimestamp::parse(line, when, text) || when.date() < input.From || when.date() > input.To)
            continue;
        if (!text.startsWith(QStringLiteral("ERROR - ")) && !text.startsWith(QStringLiteral("Test results are not valid!")))
            continue;
        out << QStringLiteral("  ") + when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("  ") + text;
        ++failures;
    }
    if (failures == 0)
        out << QStringLiteral("  None in the log for the period.");
    return out.join(QStringLiteral("\r\n"));
}
