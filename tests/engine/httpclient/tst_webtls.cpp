#include "engine/httpclient/EHttpException.h"
#include "tests/engine/httpclient/LocalWebServer.h"
#include "tests/engine/httpclient/LoopbackPort.h"
#include "tests/engine/StatusText.h"
#include "engine/httpclient/TAntiFreeze.h"
#include "engine/httpclient/THttpClient.h"
#include "engine/stream/TKorvane.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

namespace {

// Accepts connections on loopback and ends each one in the middle of the handshake: after
// reading the client's first bytes (a clean close), or at once (a reset, as the hello
// arrives at a closed socket).
class HandshakeCutter
{
public:
    explicit HandshakeCutter(bool readFirst) : FReadFirst(readFirst)
    {
        FListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FListener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(FListener, reinterpret_cast<sockaddr *>(&address), &length);
        FPort = ntohs(address.sin_port);
        ::listen(FListener, 8);
        FThread = std::thread([this] { Serve(); });
    }
    ~HandshakeCutter()
    {
        FStop = true;
        FThread.join();
        ::close(FListener);
    }
    uint16_t Port() const { return FPort; }

private:
    void Serve()
    {
        while (!FStop) {
            pollfd fd{FListener, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0)
                continue;
            const int client = ::accept(FListener, nullptr, nullptr);
            if (client < 0)
                continue;
            if (FReadFirst) {
                char hello[4096];
                [[maybe_unused]] const ssize_t got = ::recv(client, hello, sizeof hello, 0);
            }
            ::close(client);
        }
    }

    bool FReadFirst;
    int FListener = -1;
    uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

const QRegularExpression kTlsLine(QStringLiteral("^TLS 1\\.3 handshake done in \\d+[.,]\\d\\d ms, cipher TLS_\\w+\\.$"));

} // namespace

// https pages from a local nginx with certificates this test makes: pages and their
// counting, the switch that keeps https off, cookies that are Secure, keep-alive, and the
// texts of failed handshakes.
class TestWebTls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void pagesOverTls_data();
    void pagesOverTls();
    void redirectToHttps_data();
    void redirectToHttps();
    void secureCookieOnlyOverTls();
    void connectionKeptAliveOverTls();
    void handshakeFailures_data();
    void handshakeFailures();
    void unreadableCaFile();
    void cancelDuringHandshake();
    void cliReportsTls();

private:
    bool openssl(const QStringList &arguments);
    // A key and certificate for names (subjectAltName entries), signed by the CA given or,
    // without one, by themselves.
    bool makeCertificate(const QString &name, const QString &altNames, const QString &ca, int days);
    QString httpsUrl(uint16_t port, const QString &path, const QString &host = QStringLiteral("localhost")) const
    {
        return QStringLiteral("https://%1:%2%3").arg(host).arg(port).arg(path);
    }
    QString file(const QString &name) const { return FDir.filePath(name); }
    std::unique_ptr<TKorvane> korvane(QStringList &status, bool allowHttps = true);

    QTemporaryDir FDir;
    LocalWebServer FNginx;
    bool FReady = false;
    QByteArray FLargeFile;
    qint64 FIndexSize = 0;
    uint16_t FPlain = 0, FGood = 0, FExpired = 0, FWrongHost = 0, FUnknownCa = 0, FSelfSigned = 0, FOldProtocol = 0;
};

bool TestWebTls::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(FDir.path());
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "openssl" << arguments << process.readAllStandardError();
        return false;
    }
    return true;
}

bool TestWebTls::makeCertificate(const QString &name, const QString &altNames, const QString &ca, int days)
{
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                          QStringLiteral("-keyout"), name + QStringLiteral(".key")};
    const QString subject = QStringLiteral("/CN=") + name;
    if (ca.isEmpty())
        return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key
                       + QStringList{QStringLiteral("-subj"), subject, QStringLiteral("-days"), QString::number(days),
                                     QStringLiteral("-addext"), QStringLiteral("subjectAltName=") + altNames,
                                     QStringLiteral("-out"), name + QStringLiteral(".pem")});
    QFile extensions(file(name + QStringLiteral(".ext")));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write("subjectAltName=" + altNames.toUtf8() + "\n");
    extensions.close();
    // A negative number of days gives a certificate that has already expired.
    return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-new")} + key
                   + QStringList{QStringLiteral("-subj"), subject, QStringLiteral("-out"), name + QStringLiteral(".csr")})
           && openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), name + QStringLiteral(".csr"),
                       QStringLiteral("-CA"), ca + QStringLiteral(".pem"), QStringLiteral("-CAkey"), ca + QStringLiteral(".key"),
                       QStringLiteral("-set_serial"), QString::number(QRandomGenerator::global()->bounded(1 << 30)),
                       QStringLiteral("-days"), QString::number(days), QStringLiteral("-extfile"),
                       name + QStringLiteral(".ext"), QStringLiteral("-out"), name + QStringLiteral(".pem")});
}

void TestWebTls::initTestCase()
{
    QVERIFY(FDir.isValid());
    qputenv("XDG_DATA_HOME", file(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", file(QStringLiteral("config")).toUtf8());
    if (!LocalWebServer::Installed() || QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        return;

    const QString local = QStringLiteral("DNS:localhost,IP:127.0.0.1");
    QVERIFY(makeCertificate(QStringLiteral("ca"), QStringLiteral("DNS:ca.invalid"), QString(), 2));
    QVERIFY(makeCertificate(QStringLiteral("otherca"), QStringLiteral("DNS:otherca.invalid"), QString(), 2));
    QVERIFY(makeCertificate(QStringLiteral("good"), local, QStringLiteral("ca"), 2));
    QVERIFY(makeCertificate(QStringLiteral("expired"), local, QStringLiteral("ca"), -1));
    QVERIFY(makeCertificate(QStringLiteral("wronghost"), QStringLiteral("DNS:other.example"), QStringLiteral("ca"), 2));
    QVERIFY(makeCertificate(QStringLiteral("unknownca"), local, QStringLiteral("otherca"), 2));
    QVERIFY(makeCertificate(QStringLiteral("selfsigned"), local, QString(), 2));

    const QString root = file(QStringLiteral("www"));
    QVERIFY(QDir().mkpath(root));
    QFile index(root + QStringLiteral("/index.html"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    FIndexSize = index.write("<html><head><title>Korvane</title></head><body>" + QByteArray(10000, 't') + "</body></html>\n");
    index.close();
    // Many full TLS records, and a last one cut short.
    FLargeFile.resize(6 * 1024 * 1024 + 77);
    std::mt19937 random(7);
    for (char &byte : FLargeFile)
        byte = char(random());
    QFile large(root + QStringLiteral("/large.bin"));
    QVERIFY(large.open(QIODevice::WriteOnly));
    large.write(FLargeFile);
    large.close();

    QList<uint16_t> taken;
    for (uint16_t *port : {&FPlain, &FGood, &FExpired, &FWrongHost, &FUnknownCa, &FSelfSigned, &FOldProtocol}) {
        do
            *port = unusedLoopbackPort();
        while (taken.contains(*port));
        taken << *port;
    }
    const QString prefix = FDir.path();
    // One site on every port; each TLS port shows another certificate.
    const QString site = QStringLiteral(
        "    root %1/www;\n"
        "    location = /go { return 302 https://127.0.0.1:%2/index.html; }\n"
        "    location = /setcookie { add_header Set-Cookie \"s=1; Secure\"; add_header Set-Cookie \"p=2\"; return 200 \"set\"; }\n"
        "    location = /cookies { return 200 \"[$http_cookie]\"; }\n"
        "    location = /requests { return 200 \"$connection_requests\"; }\n").arg(prefix).arg(FGood);
    QString servers = QStringLiteral("  server {\n    listen 127.0.0.1:%1;\n%2  }\n").arg(FPlain).arg(site);
    const QList<std::pair<uint16_t, QString>> tlsServers{
        {FGood, QStringLiteral("good")},           {FExpired, QStringLiteral("expired")},
        {FWrongHost, QStringLiteral("wronghost")}, {FUnknownCa, QStringLiteral("unknownca")},
        {FSelfSigned, QStringLiteral("selfsigned")}};
    for (const auto &[port, name] : tlsServers)
        servers += QStringLiteral("  server {\n    listen 127.0.0.1:%1 ssl;\n    ssl_protocols TLSv1.2 TLSv1.3;\n"
                                  "    ssl_certificate %2/%3.pem; ssl_certificate_key %2/%3.key;\n%4  }\n")
                       .arg(port).arg(prefix, name, site);
    // Only a protocol version this client refuses (the old ciphers need the lowest security level).
    servers += QStringLiteral("  server {\n    listen 127.0.0.1:%1 ssl;\n    ssl_protocols TLSv1.1;\n"
                              "    ssl_ciphers \"DEFAULT:@SECLEVEL=0\";\n"
                              "    ssl_certificate %2/good.pem; ssl_certificate_key %2/good.key;\n%3  }\n")
                   .arg(FOldProtocol).arg(prefix, site);
    FNginx.Start(prefix, QStringLiteral("text/plain"), servers, {FPlain, FOldProtocol});
    if (QTest::currentTestFailed())
        return;
    FReady = true;
}

void TestWebTls::cleanupTestCase()
{
    FNginx.Stop();
}

void TestWebTls::init()
{
    if (!FReady)
        QSKIP("nginx or openssl is not installed");
}

std::unique_ptr<TKorvane> TestWebTls::korvane(QStringList &status, bool allowHttps)
{
    auto k = std::make_unique<TKorvane>();
    k->setOnStatusMsg([&status](const QString &line) { status << statusText(line); });
    k->setAllowHttps(allowHttps);
    k->setTrustedCaFile(file(QStringLiteral("ca.pem")));
    return k;
}

void TestWebTls::pagesOverTls_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("host");
    QTest::addColumn<qint64>("count");
    QTest::newRow("page by name") << "/index.html" << "localhost" << qint64(10000 + 47 + 15);
    QTest::newRow("page by address") << "/index.html" << "127.0.0.1" << qint64(10000 + 47 + 15);
    QTest::newRow("large file") << "/large.bin" << "localhost" << qint64(6 * 1024 * 1024 + 77);
}

void TestWebTls::pagesOverTls()
{
    QFETCH(QString, path);
    QFETCH(QString, host);
    QFETCH(qint64, count);
    QCOMPARE(count, path == QLatin1String("/index.html") ? FIndexSize : qint64(FLargeFile.size()));
    TAntiFreeze freeze;
    QStringList status;
    const auto k = korvane(status);
    const QString url = httpsUrl(FGood, path, host);
    k->DoTest(TKorvane::ttWebPage, url, 0);
    QVERIFY(k->ValidResult());
    QCOMPARE(k->BytesTransferred(), count);
    QCOMPARE(k->AccumulatedTestCount(), 1);

    QStringList expected{QStringLiteral("Initiating Test to ") + url};
    if (host == QLatin1String("localhost"))
        expected << QStringLiteral("Resolving hostname localhost.");
    expected << QStringLiteral("Connecting to 127.0.0.1.") << QStringLiteral("Connected.")
             << QStringLiteral("Receiving data - timer started.") << QString() << QStringLiteral("Disconnecting.")
             << QStringLiteral("Disconnected.");
    QCOMPARE(status.size(), expected.size());
    const qsizetype tlsLine = expected.indexOf(QString());
    QVERIFY2(kTlsLine.match(status.at(tlsLine)).hasMatch(), qPrintable(status.at(tlsLine)));
    status[tlsLine].clear();
    QCOMPARE(status, expected);

    const std::optional<TTlsInfo> &tls = k->stHTTP->TlsInfo();
    QVERIFY(tls);
    QCOMPARE(tls->Protocol, QStringLiteral("TLS 1.3"));
    QVERIFY(tls->Cipher.startsWith(QLatin1String("TLS_")));
    QVERIFY(tls->HandshakeMs > 0);
    // the handshake lies inside the measured time
    QVERIFY(k->TransferTimeMs() > tls->HandshakeMs);
}

// Off, a redirect to https ends the test as it always has; on, it is followed.
void TestWebTls::redirectToHttps_data()
{
    QTest::addColumn<bool>("allowHttps");
    QTest::newRow("switch off") << false;
    QTest::newRow("switch on") << true;
}

void TestWebTls::redirectToHttps()
{
    QFETCH(bool, allowHttps);
    TAntiFreeze freeze;
    QStringList status;
    const auto k = korvane(status, allowHttps);
    const QString url = QStringLiteral("http://127.0.0.1:%1/go").arg(FPlain);
    const QString target = httpsUrl(FGood, QStringLiteral("/index.html"), QStringLiteral("127.0.0.1"));
    QString error;
    try {
        k->DoTest(TKorvane::ttWebPage, url, 0);
    } catch (const EHttpException &e) {
        error = e.Message();
    }
    QStringList expected{QStringLiteral("Initiating Test to ") + url,
                         QStringLiteral("Connecting to 127.0.0.1."),
                         QStringLiteral("Connected."),
                         QStringLiteral("Receiving data - timer started."),
                         QStringLiteral("Redirected to ") + target + QStringLiteral(". Restarting timer."),
                         QStringLiteral("Disconnecting."),
                         QStringLiteral("Disconnected.")};
    if (!allowHttps) {
        QCOMPARE(error, QStringLiteral("IOHandler value is not valid"));
        QVERIFY(!k->TestDone());
        QCOMPARE(k->AccumulatedTestCount(), 0);
        QCOMPARE(status, expected);
        QVERIFY(!k->stHTTP->TlsInfo());
        return;
    }
    QCOMPARE(error, QString());
    QVERIFY(k->ValidResult());
    QCOMPARE(k->BytesTransferred(), FIndexSize);
    expected << QStringLiteral("Connecting to 127.0.0.1.") << QStringLiteral("Connected.")
             << QStringLiteral("Receiving data - timer started.") << QString() << QStringLiteral("Disconnecting.")
             << QStringLiteral("Disconnected.");
    QCOMPARE(status.size(), expected.size());
    QVERIFY2(kTlsLine.match(status.at(10)).hasMatch(), qPrintable(status.at(10)));
    status[10].clear();
    QCOMPARE(status, expected);
}

// A Secure cookie goes back over TLS only; the other cookie of the same page goes either way.
void TestWebTls::secureCookieOnlyOverTls()
{
    THttpClient client;
    client.setHandleRedirects(true);
    client.setAllowHttps(true);
    client.setExtraCaFile(file(QStringLiteral("ca.pem")));
    const QString host = QStringLiteral("127.0.0.1");
    QCOMPARE(client.Get(httpsUrl(FGood, QStringLiteral("/setcookie"), host)), QStringLiteral("set"));
    QCOMPARE(client.Get(httpsUrl(FGood, QStringLiteral("/cookies"), host)), QStringLiteral("[s=1; p=2]"));
    QCOMPARE(client.Get(QStringLiteral("http://127.0.0.1:%1/cookies").arg(FPlain)), QStringLiteral("[p=2]"));
    QCOMPARE(client.Get(httpsUrl(FGood, QStringLiteral("/cookies"), host)), QStringLiteral("[s=1; p=2]"));
}

void TestWebTls::connectionKeptAliveOverTls()
{
    THttpClient client;
    client.setAllowHttps(true);
    client.setExtraCaFile(file(QStringLiteral("ca.pem")));
    QList<THttpStatus> statuses;
    client.OnStatus = [&statuses](QObject *, THttpStatus status, const QString &) { statuses << status; };
    const QString url = httpsUrl(FGood, QStringLiteral("/requests"));
    QCOMPARE(client.Get(url), QStringLiteral("1"));
    QVERIFY(client.Connected());
    QVERIFY(statuses.contains(hsConnected));
    statuses.clear();
    QCOMPARE(client.Get(url), QStringLiteral("2"));
    QCOMPARE(client.Get(httpsUrl(FGood, QStringLiteral("/index.html"))).size(), FIndexSize);
    QCOMPARE(client.Get(url), QStringLiteral("4"));
    QCOMPARE(statuses, QList<THttpStatus>());
    // the same port over plain http is another server: a new connection
    client.Disconnect();
    statuses.clear();
    QCOMPARE(client.Get(QStringLiteral("http://127.0.0.1:%1/requests").arg(FPlain)), QStringLiteral("1"));
    QVERIFY(!client.TlsInfo());
}

void TestWebTls::handshakeFailures_data()
{
    QTest::addColumn<int>("server");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<QString>("error");
    enum { good, expired, wrongHost, unknownCa, selfSigned, plain, oldProtocol, cutAfterHello, cutAtOnce };
    const QString verify = QStringLiteral("Certificate verification failed for localhost: ");
    const QString handshake = QStringLiteral("TLS handshake with localhost failed: ");
    QTest::newRow("expired") << int(expired) << true << verify + "certificate has expired";
    QTest::newRow("wrong host") << int(wrongHost) << true << verify + "certificate is for another host";
    QTest::newRow("unknown CA") << int(unknownCa) << true << verify + "certificate issued by an unknown authority";
    QTest::newRow("CA file not given") << int(good) << false << verify + "certificate issued by an unknown authority";
    QTest::newRow("self-signed") << int(selfSigned) << true << verify + "self-signed certificate";
    QTest::newRow("no TLS on the port") << int(plain) << true << handshake + "the server does not speak TLS on port %1";
    QTest::newRow("only an old protocol")
        << int(oldProtocol) << true
        << handshake + "the server offers only protocol versions this client refuses (it needs TLS 1.2 or 1.3)";
    QTest::newRow("cut off after the hello") << int(cutAfterHello) << true
                                             << handshake + "the server ended the connection during the handshake";
    QTest::newRow("cut off at once") << int(cutAtOnce) << true
                                     << handshake + "the server ended the connection during the handshake";
}

void TestWebTls::handshakeFailures()
{
    QFETCH(int, server);
    QFETCH(bool, trustTestCa);
    QFETCH(QString, error);
    std::optional<HandshakeCutter> cutter;
    if (server >= 7)
        cutter.emplace(server == 7);
    const uint16_t ports[] = {FGood, FExpired, FWrongHost, FUnknownCa, FSelfSigned, FPlain, FOldProtocol,
                              cutter ? cutter->Port() : uint16_t(0), cutter ? cutter->Port() : uint16_t(0)};
    const uint16_t port = ports[server];
    if (error.contains(QLatin1String("%1")))
        error = error.arg(port);

    TAntiFreeze freeze;
    QStringList status;
    const auto k = korvane(status);
    if (!trustTestCa)
        k->setTrustedCaFile(QString());
    const QString url = httpsUrl(port, QStringLiteral("/index.html"));
    QString message;
    try {
        k->DoTest(TKorvane::ttWebPage, url, 0);
    } catch (const EHttpException &e) {
        message = e.Message();
    }
    QCOMPARE(message, error);
    QVERIFY(!k->TestDone());
    QVERIFY(!k->ValidResult());
    QCOMPARE(k->AccumulatedTestCount(), 0);
    QVERIFY(!k->stHTTP->Connected());
    QVERIFY(!k->stHTTP->TlsInfo());
    const QStringList expected{QStringLiteral("Initiating Test to ") + url, QStringLiteral("Resolving hostname localhost."),
                               QStringLiteral("Connecting to 127.0.0.1."), QStringLiteral("Connected."),
                               QStringLiteral("Receiving data - timer started.")};
    QCOMPARE(status, expected);

    // the next test on the same object is not disturbed by the failed one
    status.clear();
    k->setTrustedCaFile(file(QStringLiteral("ca.pem")));
    k->DoTest(TKorvane::ttWebPage, httpsUrl(FGood, QStringLiteral("/index.html")), 0);
    QVERIFY(k->ValidResult());
    QCOMPARE(k->BytesTransferred(), FIndexSize);
}

void TestWebTls::unreadableCaFile()
{
    QFile notPem(file(QStringLiteral("not-a-certificate.pem")));
    QVERIFY(notPem.open(QIODevice::WriteOnly));
    notPem.write("no certificate in here\n");
    notPem.close();
    for (const QString &path : {file(QStringLiteral("missing.pem")), notPem.fileName()}) {
        TAntiFreeze freeze;
        QStringList status;
        const auto k = korvane(status);
        k->setTrustedCaFile(path);
        const QString url = httpsUrl(FGood, QStringLiteral("/index.html"));
        QString message;
        try {
            k->DoTest(TKorvane::ttWebPage, url, 0);
        } catch (const EHttpException &e) {
            message = e.Message();
        }
        QCOMPARE(message, QStringLiteral("The CA file %1 cannot be read or holds no certificate.").arg(path));
        // refused before anything goes on the network
        QCOMPARE(status, QStringList{QStringLiteral("Initiating Test to ") + url});
    }
}

// A server that never answers the hello: the wait serves the event loop and a cancel ends it.
void TestWebTls::cancelDuringHandshake()
{
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::bind(silent, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr *>(&address), &length);
    QCOMPARE(::listen(silent, 4), 0); // connections complete in the backlog, and nobody speaks

    TAntiFreeze freeze;
    QStringList status;
    const auto k = korvane(status);
    QTimer::singleShot(200, [&k] { k->CancelTest(); });
    k->DoTest(TKorvane::ttWebPage, httpsUrl(ntohs(address.sin_port), QStringLiteral("/"), QStringLiteral("127.0.0.1")), 0);
    ::close(silent);
    QVERIFY(k->TestCancelled());
    QVERIFY(!k->ValidResult());
    QVERIFY(!k->stHTTP->Connected());
    QCOMPARE(k->AccumulatedTestCount(), 0);
    QCOMPARE(status.last(), QStringLiteral("Receiving data - timer started."));
}

void TestWebTls::cliReportsTls()
{
    const QString cli = qEnvironmentVariable("KORVANE_BIN_DIR") + QStringLiteral("/korvane-cli");
    auto run = [&cli](const QStringList &arguments, int &exitCode) {
        QProcess process;
        process.start(cli, arguments);
        if (!process.waitForFinished(60000)) {
            process.kill();
            process.waitForFinished();
        }
        exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return QJsonDocument::fromJson(process.readAllStandardOutput().split('\n').first()).object();
    };
    const QString url = httpsUrl(FGood, QStringLiteral("/index.html"));
    int exitCode = 0;
    QJsonObject result = run({QStringLiteral("--web"), QStringLiteral("--json"), QStringLiteral("--allow-https"),
                              QStringLiteral("--cacert"), file(QStringLiteral("ca.pem")), url},
                             exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY(result.value(QStringLiteral("valid")).toBool());
    QCOMPARE(result.value(QStringLiteral("bytes")).toInteger(), FIndexSize);
    const QJsonObject tls = result.value(QStringLiteral("tls")).toObject();
    QCOMPARE(tls.value(QStringLiteral("protocol")).toString(), QStringLiteral("TLS 1.3"));
    QVERIFY(tls.value(QStringLiteral("cipher")).toString().startsWith(QLatin1String("TLS_")));
    QVERIFY(tls.value(QStringLiteral("handshake_ms")).toDouble() > 0);
    const QJsonArray log = result.value(QStringLiteral("log")).toArray();
    QVERIFY(std::any_of(log.begin(), log.end(), [](const QJsonValue &line) { return kTlsLine.match(line.toString()).hasMatch(); }));

    // without the switch: the error of old, and no tls object
    result = run({QStringLiteral("--web"), QStringLiteral("--json"), url}, exitCode);
    QCOMPARE(exitCode, 1);
    QCOMPARE(result.value(QStringLiteral("error")).toString(), QStringLiteral("IOHandler value is not valid"));
    QVERIFY(!result.contains(QStringLiteral("tls")));
    // a plain page has no tls object either
    result = run({QStringLiteral("--web"), QStringLiteral("--json"), QStringLiteral("--allow-https"),
                  QStringLiteral("http://127.0.0.1:%1/index.html").arg(FPlain)},
                 exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY(!result.contains(QStringLiteral("tls")));
    // a CA file is for https only
    run({QStringLiteral("--web"), QStringLiteral("--cacert"), file(QStringLiteral("ca.pem")), url}, exitCode);
    QCOMPARE(exitCode, 2);
}

QTEST_GUILESS_MAIN(TestWebTls)
#include "tst_webtls.moc"
