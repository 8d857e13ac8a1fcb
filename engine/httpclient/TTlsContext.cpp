#include "engine/httpclient/TTlsContext.h"
#include "engine/httpclient/EHttpTlsError.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>

TTlsContext::TTlsContext(const QString &extraCaFile) : FExtraCaFile(extraCaFile)
{
    FContext = SSL_CTX_new(TLS_client_method());
    if (!FContext)
        throw EHttpTlsError(QStringLiteral("TLS cannot be set up on this system."));
    SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
    SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    // Partial writes let a send that would block resume where it stopped.
    SSL_CTX_set_mode(FContext, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                                   | SSL_MODE_AUTO_RETRY);
    // Many servers close without a close_notify; for HTTP that is an ordinary close, as over TCP.
    SSL_CTX_set_options(FContext, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // Every test pays for a full handshake, so tests stay comparable.
    SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(FContext, SSL_OP_NO_TICKET);
    SSL_CTX_set_default_verify_paths(FContext);
    if (!extraCaFile.isEmpty()) {
        const QByteArray path = QFile::encodeName(extraCaFile);
        if (SSL_CTX_load_verify_locations(FContext, path.constData(), nullptr) != 1) {
            ERR_clear_error();
            SSL_CTX_free(FContext);
            FContext = nullptr;
            throw EHttpTlsError(QStringLiteral("The CA file %1 cannot be read or holds no certificate.").arg(extraCaFile));
        }
    }
    ERR_clear_error();
}

TTlsContext::~TTlsContext()
{
    SSL_CTX_free(FContext);
}
