#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

// The results of korvane-cli in the Prometheus text format, for node_exporter's
// textfile collector. One series per tested target; the test counters carry over
// from run to run because they are read back from the file before it is rewritten.
// The file is replaced whole (temporary file and rename), so a scrape never sees
// half of it; a lock file beside it keeps two runs from losing each other's counts.
class MetricsFile
{
public:
    // What one test left behind for its target.
    struct Series
    {
        double rateBytesPerSecond = 0;
        double bytes = 0;
        double durationSeconds = 0;
        bool valid = false;
        double timestampSeconds = 0; // Unix time the test began
        double testsTotal = 0;
        double testsFailedTotal = 0;
        // What limited the last test ("path", ...); empty: no verdict (a stream test, or no
        // valid result).
        QString limitedBy;
        // The last test's shape and the latency measured beside it; 0, -1 or empty where not
        // known. Written only once some series has them, so files of plain tests stay as they were.
        double streams = 0;
        QString family;            // "ipv4", "ipv6" or empty
        double idleLatencySeconds = -1;
        double loadedLatencySeconds = -1;
        double loadedLatencyP90Seconds = -1;
        double rpm = -1;
        QString grade;             // A+ .. F, or empty
        double lostProbes = -1;
        // The plan in the test's direction, in bytes per second like the rates; 0 without one.
        double planBytesPerSecond = 0;
        // The latest results first, at most RecentResults: 1 valid or 0 not, and the share of
        // the plan reached (-1 without a valid result or a plan). Record keeps them.
        QVector<double> recentValid;
        QVector<double> recentShare;

        bool operator==(const Series &) const = default;
    };
    // How many results the file keeps per target for rules of "M of the last N".
    static constexpr int RecentResults = 10;

    // target label, mode label
    using Key = std::pair<QString, QString>;
    using SeriesMap = QMap<Key, Series>;

    explicit MetricsFile(const QString &fileName);

    // An existing file must be empty or one this program wrote: anything else is
    // not overwritten. Returns false with a message.
    bool Check(QString &error) const;

    // Reads the file (if any), adds one test of key and writes it back. Returns
    // false with a message when the file cannot be read or written.
    bool Record(const Key &key, Series test, QString &error);

    static QByteArray Format(const SeriesMap &series);
    // Reads back what Format wrote; lines it does not know are skipped.
    static SeriesMap Parse(const QByteArray &text);
    // Number text Prometheus reads back to the same value (NaN, +Inf, -Inf included).
    static QByteArray Number(double value);

private:
    static void writeRecent(QByteArray &out, const SeriesMap &series, const char *name, const char *help,
                            QVector<double> Series::*field);
    template <size_t N>
    static void writeStateSet(QByteArray &out, const SeriesMap &series, const char *name, const char *label,
                              const char *help, const char *const (&values)[N], QString Series::*field);

    QString FFileName;
};
