#pragma once

#include "engine/latency/LatencyFigures.h"

#include <QJsonObject>
#include <QStringList>

// How the front ends show a test's latency figures: log lines in the style of the others, and
// the fields of a JSON result line.
namespace LatencyReport {

// What stands where a figure would be when too few probes were answered.
QString notEnoughProbes();

QStringList logLines(const LatencyFigures &figures, const QString &probeError);
// Absent figures are null, so a reader sees the field and knows it was asked for.
void addJson(QJsonObject &line, const LatencyFigures &figures, qint64 probeBytes);

} // namespace LatencyReport
