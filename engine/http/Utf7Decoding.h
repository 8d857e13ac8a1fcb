#pragma once

#include <QByteArray>
#include <QString>

// UTF-7 (RFC 2152) to UTF-16. Bytes above 0x7F become U+FFFD; never fails.
QString DecodeUtf7(const QByteArray &bytes);
