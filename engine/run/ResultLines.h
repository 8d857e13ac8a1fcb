#pragma once

#include "engine/run/TestOutcome.h"

#include <QString>
#include <QStringList>

// The texts of a test's result lines, for every front end. The window's lines are in the
// user's locale; korvane-cli's keep a fixed form that scripts can read.
namespace ResultLines {

// "download" or "upload".
QString DirectionName(TSessionDirection direction);

// korvane-cli: "1024.00 KB (1048576) in 1234.57 milliseconds", after "Received " or "The
// server received ".
QString Amount(double kBytes, int64_t bytes, double milliseconds);
// korvane-cli: "829.44 KB per second".
QString PlainRateLine(double kbPerSecond);
// korvane-cli: "Stream 2: 512.00 KB in 1000.00 milliseconds, 512.00 KB per second".
QString StreamLine(const TSessionStreamFigures &stream);
// The server's TCP figures of a session direction, and for a download its sending time.
QStringList ServerTcpLines(const TSessionResult &result);
// Tuning advice for a receive window that held the transfer back; empty otherwise.
QString LimitAdvice(const TSessionResult &result);

} // namespace ResultLines
