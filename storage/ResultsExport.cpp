#include "storage/ResultsExport.h"

#include "storage/DayCountDate.h"
#include "storage/StorageError.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace ResultsExport {

namespace {

const char *const Columns[] = {"order", "target", "mode", "valid", "bytes", "duration_ms", "rate_kbps", "start_time"};

// Rows do not record their mode; the window stores web targets with their scheme.
QString ModeOf(const QString &server)
{
    return server.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
                   || server.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)
               ? QStringLiteral("web")
               : QStringLiteral("server");
}

QString StartTimeText(double dayCount)
{
    const QDateTime local = DayCountDate::toDateTime(dayCount);
    if (!local.isValid())
        return {};
    // An explicit offset, so the time means the same on any machine that reads it.
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// Counts are whole numbers held in a double; written as integers, they stay exact past 2^32.
bool IsWholeCount(double value)
{
    return std::isfinite(value) && value == std::trunc(value) && std::fabs(value) < 9.2e18;
}

// Stream-test rows alone keep today's columns; with any session row, three more follow.
bool AnyTestShape(const QVector<TResultRow> &rows)
{
    return std::any_of(rows.begin(), rows.end(), [](const TResultRow &row) { return row.HasTestShape(); });
}

// Latency columns follow only once a row has latency figures, as the session columns do.
bool AnyLatency(const QVector<TResultRow> &rows)
{
    return std::any_of(rows.begin(), rows.end(), [](const TResultRow &row) { return row.HasLatency(); });
}

// Latency to a tenth of a microsecond and RPM whole: the stored values carry arithmetic noise
// in their last digits (6.5 us in ms: 0.006500000000000001), and loopback latencies are a few us.
double Milliseconds(double ms)
{
    return std::round(ms * 10000) / 10000;
}

// A share of plan to four places (a hundredth of a percent), without float noise.
double Share(double share)
{
    return share >= 0 ? std::round(share * 10000) / 10000 : share;
}

// A figure not measured (-1) is an empty field.
QByteArray Figure(double value)
{
    return value >= 0 ? PlainNumber(value) : QByteArray();
}

QByteArray CsvField(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\r') && !utf8.contains('\n'))
        return utf8;
    utf8.replace("\"", "\"\"");
    return '"' + utf8 + '"';
}

} // namespace

QByteArray PlainNumber(double value)
{
    if (!std::isfinite(value))
        return {};
    if (value == 0)
        return QByteArrayLiteral("0"); // also for -0
    // Fixed notation: spreadsheets and scripts read it without guessing.
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    return QByteArray(buffer, result.ptr - buffer);
}

Format FormatForFileName(const QString &fileName)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    if (suffix == QLatin1String("jsonl") || suffix == QLatin1String("ndjson") || suffix == QLatin1String("json"))
        return Format::JsonLines;
    return Format::Csv;
}

QByteArray ToCsv(const QVector<TResultRow> &rows)
{
    QByteArray out;
    for (const char *column : Columns) {
        if (column != Columns[0])
            out += ',';
        out += column;
    }
    const bool withShape = AnyTestShape(rows);
    if (withShape)
        out += ",direction,streams,family";
    const bool withLimit = std::any_of(rows.begin(), rows.end(), [](const TResultRow &row) { return !row.LimitedBy.isEmpty(); });
    if (withLimit)
        out += ",limited_by";
    const bool withLatency = AnyLatency(rows);
    if (withLatency)
        out += ",idle_latency_ms,loaded_latency_ms,loaded_latency_p90_ms,rpm,bufferbloat_grade,lost_probes";
    // The port a test used, once a row knows it: two servers on one host are two targets.
    const bool withPort = std::any_of(rows.begin(), rows.end(), [](const TResultRow &row) { return row.Port > 0; });
    if (withPort)
        out += ",port";
    const bool withPlan = std::any_of(rows.begin(), rows.end(), [](const TResultRow &row) { return row.PlanBps > 0; });
    if (withPlan)
        out += ",plan_bps,plan_share";
    out += "\r\n";
    for (const TResultRow &row : rows) {
        const QByteArray bytes = IsWholeCount(row.BytesRx) ? QByteArray::number(qint64(row.BytesRx))
                                                           : PlainNumber(row.BytesRx);
        out += QByteArray::number(row.Order) + ',' + CsvField(row.Server) + ',' + ModeOf(row.Server).toLatin1()
             + ",true," + bytes + ',' + QByteArray::number(row.Duration) + ',' + PlainNumber(row.Result) + ','
             + StartTimeText(row.StartTime).toLatin1();
        if (withShape)
            out += ',' + row.DirectionOrDefault().toLatin1() + ',' + QByteArray::number(row.StreamsOrDefault()) + ','
                 + row.Family.toLatin1();
        if (withLimit)
            out += ',' + row.LimitedBy.toLatin1();
        if (withLatency)
            out += ',' + Figure(Milliseconds(row.IdleLatencyMs)) + ',' + Figure(Milliseconds(row.LoadedLatencyMs)) + ','
                 + Figure(Milliseconds(row.LoadedLatencyP90Ms)) + ',' + Figure(std::round(row.Rpm)) + ','
                 + row.Grade.toLatin1() + ','
                 + (row.LostProbes >= 0 ? QByteArray::number(row.LostProbes) : QByteArray());
        if (withPort)
            out += ',' + (row.Port > 0 ? QByteArray::number(row.Port) : QByteArray());
        if (withPlan)
            out += ',' + Figure(row.PlanBps > 0 ? row.PlanBps : -1) + ',' + Figure(Share(row.PlanShare()));
        out += "\r\n";
    }
    return out;
}

QByteArray ToJsonLines(const QVector<TResultRow> &rows)
{
    QByteArray out;
    for (const TResultRow &row : rows) {
        QJsonObject o;
        o.insert(QStringLiteral("order"), row.Order);
        o.insert(QStringLiteral("target"), row.Server);
        o.insert(QStringLiteral("mode"), ModeOf(row.Server));
        o.insert(QStringLiteral("valid"), true);
        if (IsWholeCount(row.BytesRx))
            o.insert(QStringLiteral("bytes"), qint64(row.BytesRx));
        else
            o.insert(QStringLiteral("bytes"), std::isfinite(row.BytesRx) ? QJsonValue(row.BytesRx) : QJsonValue());
        o.insert(QStringLiteral("duration_ms"), row.Duration);
        o.insert(QStringLiteral("rate_kbps"), std::isfinite(row.Result) ? QJsonValue(row.Result) : QJsonValue());
        const QString start = StartTimeText(row.StartTime);
        o.insert(QStringLiteral("start_time"), start.isEmpty() ? QJsonValue() : QJsonValue(start));
        if (row.HasTestShape()) {
            o.insert(QStringLiteral("direction"), row.DirectionOrDefault());
            o.insert(QStringLiteral("streams"), row.StreamsOrDefault());
            o.insert(QStringLiteral("family"), row.Family.isEmpty() ? QJsonValue() : QJsonValue(row.Family));
            if (!row.LimitedBy.isEmpty())
                o.insert(QStringLiteral("limited_by"), row.LimitedBy);
        }
        if (row.HasLatency()) {
            const auto figure = [](double v) { return v >= 0 && std::isfinite(v) ? QJsonValue(v) : QJsonValue(); };
            o.insert(QStringLiteral("idle_latency_ms"), figure(Milliseconds(row.IdleLatencyMs)));
            o.insert(QStringLiteral("loaded_latency_ms"), figure(Milliseconds(row.LoadedLatencyMs)));
            o.insert(QStringLiteral("loaded_latency_p90_ms"), figure(Milliseconds(row.LoadedLatencyP90Ms)));
            o.insert(QStringLiteral("rpm"), figure(std::round(row.Rpm)));
            o.insert(QStringLiteral("bufferbloat_grade"), row.Grade.isEmpty() ? QJsonValue() : QJsonValue(row.Grade));
            o.insert(QStringLiteral("lost_probes"), row.LostProbes >= 0 ? QJsonValue(row.LostProbes) : QJsonValue());
        }
        if (row.Port > 0)
            o.insert(QStringLiteral("port"), row.Port);
        if (row.PlanBps > 0) {
            o.insert(QStringLiteral("plan_bps"), IsWholeCount(row.PlanBps) ? QJsonValue(qint64(row.PlanBps)) : QJsonValue(row.PlanBps));
            o.insert(QStringLiteral("plan_share"), Share(row.PlanShare()));
        }
        out += QJsonDocument(o).toJson(QJsonDocument::Compact);
        out += '\n';
    }
    return out;
}

void WriteFile(const QString &fileName, const QVector<TResultRow> &rows, Format format)
{
    const QByteArray bytes = format == Format::JsonLines ? ToJsonLines(rows) : ToCsv(rows);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw EStorageError(QStringLiteral("Cannot export results to %1: %2").arg(fileName, file.errorString()));
}

} // namespace ResultsExport
