#include "engine/httpclient/TTlsChannel.h"
#include "engine/httpclient/EHttpSocketError.h"
#include "engine/httpclient/EHttpTlsError.h"
#include "engine/httpclient/TTlsContext.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

// The library's own socket BIO writes with write(), which raises SIGPIPE on a connection the
// peer has reset; this one sends with MSG_NOSIGNAL and keeps the errno of a failure.
struct TTlsChannel::TBioState
{
    int fd = -1;
    int lastErrno = 0;
};

namespace {

int BioWrite(BIO *bio, const char *data, int length)
{
    auto *state = static_cast<TTlsChannel::TBioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t sent = ::send(state->fd, data, size_t(length), MSG_NOSIGNAL);
        if (sent >= 0)
            return int(sent);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_write(bio);
        else
            state->lastErrno = errno;
        return -1;
    }
}

int BioRead(BIO *bio, char *target, int capacity)
{
    auto *state = static_cast<TTlsChannel::TBioState *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t got = ::recv(state->fd, target, size_t(capacity), 0);
        if (got >= 0)
            return int(got);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        else
            state->lastErrno = errno;
        return -1;
    }
}

long BioControl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO *bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

int BioDestroy(BIO *bio)
{
    delete static_cast<TTlsChannel::TBioState *>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

BIO_METHOD *SocketMethod()
{
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "korvane socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        BIO_meth_set_destroy(m, BioDestroy);
        return m;
    }();
    return method;
}

bool IsAddress(const QByteArray &host)
{
    unsigned char buffer[16];
    return ::inet_pton(AF_INET, host.constData(), buffer) == 1 || ::inet_pton(AF_INET6, host.constData(), buffer) == 1;
}

int ClampLength(qsizetype length)
{
    return int(std::min<qsizetype>(length, INT_MAX));
}

} // namespace

TTlsChannel::TTlsChannel(const TTlsContext &context, int fd, const QString &host, int port)
    : FHost(host), FPort(port)
{
    FSsl = SSL_new(context.Handle());
    BIO *bio = FSsl ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        SSL_free(FSsl);
        throw EHttpTlsError(QStringLiteral("TLS cannot be set up for %1.").arg(host));
    }
    FBio = new TBioState{fd, 0};
    BIO_set_data(bio, FBio);
    SSL_set_bio(FSsl, bio, bio);

    const QByteArray name = host.toUtf8();
    if (IsAddress(name)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), name.constData());
    } else {
        SSL_set_tlsext_host_name(FSsl, name.constData());
        SSL_set1_host(FSsl, name.constData());
        // "*.example.org" covers one label only, as browsers have it.
        SSL_set_hostflags(FSsl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    }
    static const unsigned char alpn[] = "\x08http/1.1";
    SSL_set_alpn_protos(FSsl, alpn, sizeof alpn - 1);
    SSL_set_connect_state(FSsl);
}

TTlsChannel::~TTlsChannel()
{
    SSL_free(FSsl); // frees the BIO and its state
}

TTlsChannel::TWant TTlsChannel::Handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(FSsl);
    if (result == 1)
        return twNone;
    return Classify(result, true);
}

TTlsInfo TTlsChannel::Info(double handshakeMs) const
{
    TTlsInfo info;
    switch (SSL_version(FSsl)) {
    case TLS1_3_VERSION:
        info.Protocol = QStringLiteral("TLS 1.3");
        break;
    case TLS1_2_VERSION:
        info.Protocol = QStringLiteral("TLS 1.2");
        break;
    default:
        info.Protocol = QString::fromLatin1(SSL_get_version(FSsl));
        break;
    }
    if (const SSL_CIPHER *cipher = SSL_get_current_cipher(FSsl)) {
        const char *name = SSL_CIPHER_standard_name(cipher);
        info.Cipher = QString::fromLatin1(name ? name : SSL_CIPHER_get_name(cipher));
    }
    info.HandshakeMs = handshakeMs;
    return info;
}

qsizetype TTlsChannel::Read(char *target, qsizetype capacity, TWant &want)
{
    ERR_clear_error();
    const int result = SSL_read(FSsl, target, ClampLength(capacity));
    if (result > 0)
        return result;
    const int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_ZERO_RETURN)
        return 0;
    // With unexpected ends ignored, a close without goodbye also reads as a zero return; an
    // empty read with no system error is the same close.
    if (error == SSL_ERROR_SYSCALL && FBio->lastErrno == 0) {
        FBroken = true;
        return 0;
    }
    want = Classify(result, false);
    return -1;
}

qsizetype TTlsChannel::Write(const char *data, qsizetype length, TWant &want)
{
    ERR_clear_error();
    const int result = SSL_write(FSsl, data, ClampLength(length));
    if (result > 0)
        return result;
    const int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && FBio->lastErrno == 0)) {
        FBroken = true;
        throw EHttpSocketError::FromErrno(EPIPE); // as a send on a closed TCP connection
    }
    want = Classify(result, false);
    return -1;
}

int TTlsChannel::Probe()
{
    if (SSL_has_pending(FSsl))
        return 1;
    char probe;
    ERR_clear_error();
    const int result = SSL_peek(FSsl, &probe, 1);
    if (result > 0)
        return 1;
    switch (SSL_get_error(FSsl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return -1;
    default:
        FBroken = true; // closed, reset or garbled: no longer usable either way
        ERR_clear_error();
        return 0;
    }
}

bool TTlsChannel::HasPending() const
{
    return SSL_has_pending(FSsl) == 1;
}

void TTlsChannel::Shutdown()
{
    if (FBroken || !SSL_is_init_finished(FSsl))
        return;
    ERR_clear_error();
    SSL_shutdown(FSsl); // one try: sends our goodbye if the socket takes it, never waits
    ERR_clear_error();
}

TTlsChannel::TWant TTlsChannel::Classify(int result, bool handshake)
{
    const int error = SSL_get_error(FSsl, result);
    if (error == SSL_ERROR_WANT_READ)
        return twRead;
    if (error == SSL_ERROR_WANT_WRITE)
        return twWrite;
    FBroken = true;
    if (error == SSL_ERROR_SYSCALL && FBio->lastErrno != 0) {
        ERR_clear_error();
        // A server that resets in the middle of a handshake cut it off: that is the news,
        // not the socket error it shows as.
        if (handshake && (FBio->lastErrno == ECONNRESET || FBio->lastErrno == EPIPE))
            RaiseHandshakeFailure(0);
        throw EHttpSocketError::FromErrno(FBio->lastErrno);
    }
    const unsigned long code = ERR_peek_error();
    ERR_clear_error();
    if (handshake)
        RaiseHandshakeFailure(error == SSL_ERROR_SSL ? code : 0);
    const char *reason = ERR_reason_error_string(code);
    throw EHttpTlsError(QStringLiteral("The encrypted connection to %1 failed: %2")
                            .arg(FHost, reason ? QString::fromLatin1(reason) : QStringLiteral("unknown error")));
}

void TTlsChannel::RaiseHandshakeFailure(unsigned long error)
{
    const QString failed = QStringLiteral("TLS handshake with %1 failed: ").arg(FHost);
    // No library error: the peer closed (or the socket ended) in the middle.
    if (error == 0)
        throw EHttpTlsError(failed + QStringLiteral("the server ended the connection during the handshake"));
    if (ERR_GET_LIB(error) == ERR_LIB_SSL) {
        switch (ERR_GET_REASON(error)) {
        case SSL_R_CERTIFICATE_VERIFY_FAILED:
            if (const long result = SSL_get_verify_result(FSsl); result != X509_V_OK)
                throw EHttpTlsError(QStringLiteral("Certificate verification failed for %1: %2")
                                        .arg(FHost, VerifyFailureText(result)));
            break;
        case SSL_R_UNEXPECTED_EOF_WHILE_READING:
            throw EHttpTlsError(failed + QStringLiteral("the server ended the connection during the handshake"));
        case SSL_R_WRONG_VERSION_NUMBER:
        case SSL_R_PACKET_LENGTH_TOO_LONG:
        case SSL_R_HTTP_REQUEST:
        case SSL_R_HTTPS_PROXY_REQUEST:
        case SSL_R_UNKNOWN_PROTOCOL:
            throw EHttpTlsError(failed + QStringLiteral("the server does not speak TLS on port %1").arg(FPort));
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
            throw EHttpTlsError(failed + QStringLiteral("the server offers only protocol versions this client "
                                                        "refuses (it needs TLS 1.2 or 1.3)"));
        case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        case SSL_R_NO_SHARED_CIPHER:
            throw EHttpTlsError(failed + QStringLiteral("the server and this client have no cipher in common"));
        case SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL:
            throw EHttpTlsError(failed + QStringLiteral("the server does not offer HTTP/1.1 over TLS"));
        default:
            break;
        }
    }
    const char *reason = ERR_reason_error_string(error);
    throw EHttpTlsError(failed + (reason ? QString::fromLatin1(reason) : QStringLiteral("unknown error")));
}

QString TTlsChannel::VerifyFailureText(long result)
{
    switch (result) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("certificate has expired");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("certificate is not yet valid");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return QStringLiteral("self-signed certificate");
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return QStringLiteral("self-signed certificate in the chain");
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return QStringLiteral("certificate issued by an unknown authority");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("certificate is for another host");
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("certificate has been revoked");
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return QStringLiteral("certificate signature is invalid");
    case X509_V_ERR_EE_KEY_TOO_SMALL:
    case X509_V_ERR_CA_KEY_TOO_SMALL:
        return QStringLiteral("certificate key is too weak");
    default:
        return QString::fromLatin1(X509_verify_cert_error_string(result));
    }
}
