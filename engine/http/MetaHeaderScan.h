#pragma once

#include <QByteArray>
#include <QStringList>

// The <meta http-equiv=... content=...> lines of an HTML page's head, as raw header
// lines "Name: content" (or "Name:" without content), in page order. Only the
// head counts: tags before <html> are ignored, <title> outside the head stops the
// scan, <body> ends it. Bytes above 0x7F read as "?".
QStringList ScanMetaHeaderLines(const QByteArray &html);
