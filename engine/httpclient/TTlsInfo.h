#pragma once

#include <QString>

// What a finished TLS handshake agreed on, and how long it took.
struct TTlsInfo
{
    QString Protocol; // "TLS 1.2", "TLS 1.3"
    QString Cipher;   // the suite's standard name
    double HandshakeMs = 0.0;
};
