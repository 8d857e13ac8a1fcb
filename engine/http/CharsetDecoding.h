#pragma once

#include <QByteArray>
#include <QString>

// Decodes a whole body by charset name (any letter case). UTF-8 is strict: any
// invalid sequence gives empty text. UTF-16 (LE unless a big-endian BOM says
// otherwise), UTF-16LE, UTF-16BE and UTF-7 are decoded here; other names go to
// QStringDecoder (ICU). An empty or unknown name decodes one character per byte.
QString DecodeBytes(const QByteArray &bytes, const QString &charset);

// True when DecodeBytes knows the name (otherwise it falls back to one char per byte).
bool IsKnownCharset(const QString &charset);
