#include "tools/korvane-cli/MetricsFile.h"

#include "engine/run/RatePlan.h"

#include <QFile>
#include <QLockFile>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

// Every family the file holds, in the order written.
struct Family
{
    const char *name;
    const char *type;
    const char *help;
    double MetricsFile::Series::*value;
};

const Family Families[] = {
    {"korvane_last_rate_bytes_per_second", "gauge", "Transfer rate of the last test of the target.",
     &MetricsFile::Series::rateBytesPerSecond},
    {"korvane_last_received_bytes", "gauge", "Bytes (characters for a web page) received in the last test.",
     &MetricsFile::Series::bytes},
    {"korvane_last_duration_seconds", "gauge", "Transfer time of the last test.",
     &MetricsFile::Series::durationSeconds},
    {"korvane_last_valid", "gauge", "1 when the last test gave a valid result, else 0.", nullptr},
    {"korvane_last_test_timestamp_seconds", "gauge", "Unix time the last test began.",
     &MetricsFile::Series::timestampSeconds},
    {"korvane_tests_total", "counter", "Tests run against the target.", &MetricsFile::Series::testsTotal},
    {"korvane_tests_failed_total", "counter", "Tests that failed or gave no valid result.",
     &MetricsFile::Series::testsFailedTotal},
};

// One 0-or-1 sample per limit, as a state set: the series stay the same from run to run, so a
// change of limit does not start a new series, and "== 1" selects the current one.
const char *const LimitFamily = "korvane_last_limited_by";
const char *const LimitNames[] = {"receive_window", "send_buffer", "application", "loss",
                                  "path",           "client_cpu",  "unknown"};

// Families that only tests of a session or with latency leave; each written while some
// series has a value for it.
const Family OptionalFamilies[] = {
    {"korvane_last_streams", "gauge", "Parallel streams of the last test of the target.", &MetricsFile::Series::streams},
    {"korvane_last_idle_latency_seconds", "gauge", "Median round trip before the load of the last test.",
     &MetricsFile::Series::idleLatencySeconds},
    {"korvane_last_loaded_latency_seconds", "gauge", "Median round trip under the load of the last test.",
     &MetricsFile::Series::loadedLatencySeconds},
    {"korvane_last_loaded_latency_p90_seconds", "gauge",
     "90th percentile of the round trips under the load of the last test.",
     &MetricsFile::Series::loadedLatencyP90Seconds},
    {"korvane_last_responsiveness_rpm", "gauge", "Round trips per minute under the load of the last test.",
     &MetricsFile::Series::rpm},
    {"korvane_last_lost_probes", "gauge", "Latency probes of the last test that got no answer within 2 seconds.",
     &MetricsFile::Series::lostProbes},
    {"korvane_plan_bytes_per_second", "gauge", "The rate paid for on the target in the direction of its tests.",
     &MetricsFile::Series::planBytesPerSecond},
};

// The last results of each target, result="1" the latest: rules can ask for M of the last N.
const char *const RecentValidFamily = "korvane_recent_valid";
const char *const RecentShareFamily = "korvane_recent_share_of_plan";

bool Known(const Family &family, const MetricsFile::Series &s)
{
    // Streams and plans are known from above 0; every other optional figure from 0.
    return family.value == &MetricsFile::Series::streams || family.value == &MetricsFile::Series::planBytesPerSecond
               ? s.*family.value > 0
               : s.*family.value >= 0;
}

// Labelled state sets, like the limit: one sample per possible value, 1 on the current one.
const char *const FamilyFamily = "korvane_last_family";
const char *const FamilyNames[] = {"ipv4", "ipv6"};
const char *const GradeFamily = "korvane_last_bufferbloat_grade";
const char *const GradeNames[] = {"A+", "A", "B", "C", "D", "F"};

const QByteArray OwnMarker = "# HELP korvane_";

QByteArray EscapeLabel(const QString &value)
{
    QByteArray out;
    for (const char c : value.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// Parses name{label="value",...} value; false for anything else.
bool ParseSample(const QByteArray &line, QByteArray &name, QMap<QByteArray, QString> &labels, double &value)
{
    const qsizetype brace = line.indexOf('{');
    if (brace <= 0)
        return false;
    name = line.left(brace);
    qsizetype i = brace + 1;
    while (i < line.size() && line.at(i) != '}') {
        const qsizetype eq = line.indexOf("=\"", i);
        if (eq < 0)
            return false;
        const QByteArray label = line.mid(i, eq - i).trimmed();
        QByteArray raw;
        qsizetype j = eq + 2;
        for (; j < line.size() && line.at(j) != '"'; ++j) {
            if (line.at(j) == '\\' && j + 1 < line.size()) {
                const char next = line.at(++j);
                raw += next == 'n' ? '\n' : next;
            } else {
                raw += line.at(j);
            }
        }
        if (j >= line.size())
            return false;
        labels.insert(label, QString::fromUtf8(raw));
        i = j + 1;
        if (i < line.size() && line.at(i) == ',')
            ++i;
    }
    if (i >= line.size())
        return false;
    const QByteArray number = line.mid(i + 1).trimmed();
    if (number == "NaN")
        value = qQNaN();
    else if (number == "+Inf")
        value = qInf();
    else if (number == "-Inf")
        value = -qInf();
    else {
        bool ok = false;
        value = number.toDouble(&ok);
        return ok;
    }
    return true;
}

} // namespace

MetricsFile::MetricsFile(const QString &fileName)
    : FFileName(fileName)
{
}

QByteArray MetricsFile::Number(double value)
{
    if (std::isnan(value))
        return QByteArrayLiteral("NaN");
    if (std::isinf(value))
        return value > 0 ? QByteArrayLiteral("+Inf") : QByteArrayLiteral("-Inf");
    // Counts as whole numbers, the way people read them; anything else in its shortest form.
    if (value == std::trunc(value) && std::fabs(value) < 9e15)
        return QByteArray::number(qint64(value));
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return QByteArray(buffer, result.ptr - buffer);
}

QByteArray MetricsFile::Format(const SeriesMap &series)
{
    QByteArray out;
    for (const Family &family : Families) {
        out += QByteArray("# HELP ") + family.name + ' ' + family.help + '\n';
        out += QByteArray("# TYPE ") + family.name + ' ' + family.type + '\n';
        for (auto it = series.cbegin(); it != series.cend(); ++it) {
            const double value = family.value ? it.value().*family.value : (it.value().valid ? 1.0 : 0.0);
            out += QByteArray(family.name) + "{target=\"" + EscapeLabel(it.key().first) + "\",mode=\""
                 + EscapeLabel(it.key().second) + "\"} " + Number(value) + '\n';
        }
    }
    // Files of plain stream tests stay as they were: what follows is only written where known.
    writeStateSet(out, series, LimitFamily, "limit", "1 for what limited the last session test of the target, else 0.",
                  LimitNames, &Series::limitedBy);
    for (const Family &family : OptionalFamilies) {
        bool any = false;
        for (auto it = series.cbegin(); it != series.cend(); ++it)
            any = any || Known(family, it.value());
        if (!any)
            continue;
        out += QByteArray("# HELP ") + family.name + ' ' + family.help + '\n';
        out += QByteArray("# TYPE ") + family.name + ' ' + family.type + '\n';
        for (auto it = series.cbegin(); it != series.cend(); ++it)
            if (Known(family, it.value()))
                out += QByteArray(family.name) + "{target=\"" + EscapeLabel(it.key().first) + "\",mode=\""
                     + EscapeLabel(it.key().second) + "\"} " + Number(it.value().*family.value) + '\n';
    }
    writeStateSet(out, series, FamilyFamily, "family", "1 for the address family of the last test of the target, else 0.",
                  FamilyNames, &Series::family);
    writeStateSet(out, series, GradeFamily, "grade",
                  "1 for the bufferbloat grade of the last test of the target (by how much latency rose under load), else 0.",
                  GradeNames, &Series::grade);
    writeRecent(out, series, RecentValidFamily,
                "1 when the result-th latest test of the target gave a valid result (result=\"1\" the last), else 0.",
                &Series::recentValid);
    writeRecent(out, series, RecentShareFamily,
                "Share of the plan the result-th latest test of the target reached (result=\"1\" the last); NaN "
                "without a valid result or a plan.",
                &Series::recentShare);
    return out;
}

void MetricsFile::writeRecent(QByteArray &out, const SeriesMap &series, const char *name, const char *help,
                              QVector<double> Series::*field)
{
    // Shares only for targets that ever had a plan, so files without plans do not gain them.
    const bool share = field == &Series::recentShare;
    const auto wanted = [&](const Series &s) {
        return share ? std::any_of((s.*field).begin(), (s.*field).end(), [](double v) { return v >= 0; })
                     : !(s.*field).isEmpty();
    };
    if (std::none_of(series.cbegin(), series.cend(), wanted))
        return;
    out += QByteArray("# HELP ") + name + ' ' + help + '\n';
    out += QByteArray("# TYPE ") + name + " gauge\n";
    for (auto it = series.cbegin(); it != series.cend(); ++it) {
        if (!wanted(it.value()))
            continue;
        const QVector<double> &values = it.value().*field;
        for (qsizetype i = 0; i < values.size(); ++i)
            out += QByteArray(name) + "{target=\"" + EscapeLabel(it.key().first) + "\",mode=\""
                 + EscapeLabel(it.key().second) + "\",result=\"" + QByteArray::number(i + 1) + "\"} "
                 + (share && values[i] < 0 ? QByteArrayLiteral("NaN") : Number(values[i])) + '\n';
    }
}

template <size_t N>
void MetricsFile::writeStateSet(QByteArray &out, const SeriesMap &series, const char *name, const char *label,
                                const char *help, const char *const (&values)[N], QString Series::*field)
{
    bool any = false;
    for (auto it = series.cbegin(); it != series.cend(); ++it)
        any = any || !(it.value().*field).isEmpty();
    if (!any)
        return;
    out += QByteArray("# HELP ") + name + ' ' + help + '\n';
    out += QByteArray("# TYPE ") + name + " gauge\n";
    for (auto it = series.cbegin(); it != series.cend(); ++it) {
        if ((it.value().*field).isEmpty())
            continue;
        for (const char *value : values)
            out += QByteArray(name) + "{target=\"" + EscapeLabel(it.key().first) + "\",mode=\""
                 + EscapeLabel(it.key().second) + "\"," + label + "=\"" + value + "\"} "
                 + (it.value().*field == QLatin1String(value) ? "1" : "0") + '\n';
    }
}

MetricsFile::SeriesMap MetricsFile::Parse(const QByteArray &text)
{
    SeriesMap series;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        QByteArray name;
        QMap<QByteArray, QString> labels;
        double value = 0;
        if (!ParseSample(line, name, labels, value) || !labels.contains("target") || !labels.contains("mode"))
            continue;
        if (name == LimitFamily || name == FamilyFamily || name == GradeFamily) {
            Series &s = series[{labels.value("target"), labels.value("mode")}];
            if (value == 1.0) {
                if (name == LimitFamily)
                    s.limitedBy = labels.value("limit");
                else if (name == FamilyFamily)
                    s.family = labels.value("family");
                else
                    s.grade = labels.value("grade");
            }
            continue;
        }
        if (name == RecentValidFamily || name == RecentShareFamily) {
            const int index = labels.value("result").toInt() - 1;
            if (index < 0 || index >= RecentResults)
                continue;
            const bool share = name == RecentShareFamily;
            QVector<double> &values = share ? series[{labels.value("target"), labels.value("mode")}].recentShare
                                            : series[{labels.value("target"), labels.value("mode")}].recentValid;
            if (values.size() <= index)
                values.resize(index + 1, share ? -1.0 : 0.0);
            values[index] = share && !(value >= 0) ? -1.0 : value;
            continue;
        }
        for (const Family &family : OptionalFamilies)
            if (name == family.name)
                series[{labels.value("target"), labels.value("mode")}].*family.value = value;
        for (const Family &family : Families) {
            if (name != family.name)
                continue;
            Series &s = series[{labels.value("target"), labels.value("mode")}];
            if (family.value)
                s.*family.value = value;
            else
                s.valid = value == 1.0;
        }
    }
    return series;
}

bool MetricsFile::Check(QString &error) const
{
    QFile file(FFileName);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read metrics file %1: %2").arg(FFileName, file.errorString());
        return false;
    }
    const QByteArray head = file.read(1 << 20);
    if (!head.trimmed().isEmpty() && !head.startsWith(OwnMarker) && !head.contains('\n' + OwnMarker)) {
        error = QStringLiteral("%1 is not a metrics file of korvane-cli; it is left as it is").arg(FFileName);
        return false;
    }
    return true;
}

bool MetricsFile::Record(const Key &key, Series test, QString &error)
{
    // Beside the file, under a name the textfile collector does not read.
    QLockFile lock(FFileName + QStringLiteral(".lock"));
    lock.setStaleLockTime(30000);
    if (!lock.tryLock(10000)) {
        error = lock.error() == QLockFile::LockFailedError
                    ? QStringLiteral("metrics file %1 stayed locked by another run").arg(FFileName)
                    : QStringLiteral("cannot write metrics file %1: its folder is missing or not writable")
                          .arg(FFileName);
        return false;
    }
    if (!Check(error))
        return false;

    SeriesMap series;
    QFile existing(FFileName);
    if (existing.exists()) {
        if (!existing.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read metrics file %1: %2").arg(FFileName, existing.errorString());
            return false;
        }
        series = Parse(existing.readAll());
        existing.close();
    }
    const Series before = series.value(key);
    test.testsTotal = before.testsTotal + 1;
    test.testsFailedTotal = before.testsFailedTotal + (test.valid ? 0 : 1);
    const auto keepLatest = [](double latest, QVector<double> earlier) {
        earlier.prepend(latest);
        earlier.resize(std::min<qsizetype>(earlier.size(), RecentResults));
        return earlier;
    };
    test.recentValid = keepLatest(test.valid ? 1 : 0, before.recentValid);
    // A file without shares (no plan so far) knew none of its earlier results' shares.
    QVector<double> earlierShares = before.recentShare;
    if (earlierShares.size() < before.recentValid.size())
        earlierShares.resize(before.recentValid.size(), -1.0);
    test.recentShare = keepLatest(test.valid ? TRatePlan::Share(test.rateBytesPerSecond / 1024.0, test.planBytesPerSecond * 8) : -1,
                                  earlierShares);
    series.insert(key, test);

    const QByteArray text = Format(series);
    QSaveFile file(FFileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        error = QStringLiteral("cannot write metrics file %1: %2").arg(FFileName, file.errorString());
        return false;
    }
    return true;
}
