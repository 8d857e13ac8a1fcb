#pragma once

#include "storage/ResultRow.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The results table as files other tools read: CSV (RFC 4180, UTF-8, CRLF) or JSON
// lines. Both carry the fields of korvane-cli --json that a stored row has:
// order, target, mode, valid, bytes, duration_ms, rate_kbps, start_time; rows of a
// session test add direction, streams and family (null or empty while not known), and a
// CSV with any such row gives every row those three columns. Rows of tests that measured
// latency add idle_latency_ms, loaded_latency_ms, loaded_latency_p90_ms, rpm,
// bufferbloat_grade and lost_probes the same way (empty or null where not measured), and
// rows measured against a plan add plan_bps and plan_share (the rate over the plan).
// Numbers use a dot and no grouping; bytes are written as whole numbers; start
// times are ISO 8601 local times with their offset. A value that cannot be
// written (NaN, an invalid date) is left empty in CSV and null in JSON.
namespace ResultsExport {

enum class Format { Csv, JsonLines };

// By the file's suffix: .jsonl, .ndjson and .json give JSON lines, anything else CSV.
Format FormatForFileName(const QString &fileName);

QByteArray ToCsv(const QVector<TResultRow> &rows);
QByteArray ToJsonLines(const QVector<TResultRow> &rows);

// Writes the whole file to a temporary file and renames it over fileName, so a
// reader never sees half a file. Throws EStorageError when that fails; an
// existing file is then left as it was.
void WriteFile(const QString &fileName, const QVector<TResultRow> &rows, Format format);

// A double in the shortest fixed-point text that reads back to the same value.
QByteArray PlainNumber(double value);

} // namespace ResultsExport
