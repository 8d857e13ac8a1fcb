#pragma once

#include <QString>

struct ssl_ctx_st;

// The client side of TLS as this program speaks it: TLS 1.2 and 1.3 only, the peer's
// certificate checked against the system's trust store and, when given, one more CA file.
// One context serves every connection of an HTTP client.
class TTlsContext
{
public:
    // Raises EHttpTlsError when the CA file cannot be read or holds no certificate.
    explicit TTlsContext(const QString &extraCaFile = QString());
    ~TTlsContext();
    TTlsContext(const TTlsContext &) = delete;
    TTlsContext &operator=(const TTlsContext &) = delete;

    const QString &ExtraCaFile() const { return FExtraCaFile; }
    ssl_ctx_st *Handle() const { return FContext; }

private:
    ssl_ctx_st *FContext = nullptr;
    QString FExtraCaFile;
};
