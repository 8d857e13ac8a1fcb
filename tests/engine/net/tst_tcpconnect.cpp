#include "engine/net/TcpConnect.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

namespace {

TResolvedAddress Address(const char *text, uint16_t port = 0)
{
    TResolvedAddress a;
    if (std::strchr(text, ':')) {
        auto &in6 = reinterpret_cast<sockaddr_in6 &>(a.Address);
        in6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6.sin6_addr);
        a.Length = sizeof in6;
    } else {
        auto &in4 = reinterpret_cast<sockaddr_in &>(a.Address);
        in4.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in4.sin_addr);
        a.Length = sizeof in4;
    }
    SetPort(a, port);
    return a;
}

// A socket bound on a loopback address; listening unless asked for a closed port.
struct BoundPort
{
    int Fd = -1;
    uint16_t Port = 0;

    BoundPort(const char *address, bool listening, uint16_t port = 0)
    {
        TResolvedAddress a = Address(address, port);
        Fd = ::socket(a.Address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(Fd, reinterpret_cast<sockaddr *>(&a.Address), a.Length) != 0
            || (listening && ::listen(Fd, 16) != 0)) {
            ::close(Fd);
            Fd = -1;
            return;
        }
        socklen_t length = a.Length;
        ::getsockname(Fd, reinterpret_cast<sockaddr *>(&a.Address), &length);
        Port = ntohs(a.Address.ss_family == AF_INET6
                         ? reinterpret_cast<sockaddr_in6 &>(a.Address).sin6_port
                         : reinterpret_cast<sockaddr_in &>(a.Address).sin_port);
    }
    ~BoundPort()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
};

// Stands in for DNS: the name has exactly these addresses, filtered by family as a resolver would.
TResolver Stub(std::vector<TResolvedAddress> addresses, int code = 0)
{
    return [addresses, code](const std::string &, int family, std::vector<TResolvedAddress> &out, int &) {
        for (const TResolvedAddress &a : addresses)
            if (family == AF_UNSPEC || a.Address.ss_family == family)
                out.push_back(a);
        return code;
    };
}

QString Describe(const TConnectResult &r)
{
    return QStringLiteral("stage %1 error %2 (%3) family %4 address %5")
        .arg(int(r.Stage)).arg(r.ErrorCode).arg(QString::fromLocal8Bit(strerror(r.ErrorCode)))
        .arg(FamilyName(r.Family)).arg(QString::fromStdString(r.AddressText));
}

// Inside a private network namespace: 2001:db8::2 is routed through a veth whose far end drops
// every frame (a neighbour that does not exist), so SYNs vanish without an answer.
const char *const kBlackholeSetup =
    "ip link set lo up && ip link add v0 type veth peer name v1 && ip link set v1 up && "
    "ip link set v0 up && ip -6 addr add 2001:db8::1/64 dev v0 nodad && "
    "ip -6 neigh replace 2001:db8::2 lladdr 02:00:00:00:00:02 dev v0 nud permanent && "
    "exec \"$0\" --netns-child \"$1\"";

int RunNetnsChild(const char *scenario)
{
    BoundPort v4("127.0.0.1", true);
    const TResolvedAddress hole = Address("2001:db8::2", 9);
    TConnectOptions options;
    options.TimeoutMs = 10000;
    std::vector<TResolvedAddress> list;
    int cancel = -1;
    std::thread canceller;
    if (std::strcmp(scenario, "fallback") == 0) {
        list = {hole, Address("127.0.0.1", v4.Port)};
    } else if (std::strcmp(scenario, "timeout") == 0) {
        list = {hole};
        options.TimeoutMs = 300;
    } else if (std::strcmp(scenario, "cancel") == 0) {
        list = {hole};
        cancel = ::eventfd(0, EFD_CLOEXEC);
        options.CancelFd = cancel;
        canceller = std::thread([cancel] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const uint64_t one = 1;
            (void)!::write(cancel, &one, sizeof one);
        });
    } else {
        return 2;
    }
    QElapsedTimer clock;
    clock.start();
    const TConnectResult r = TcpConnectAddresses(list, options);
    const qint64 elapsed = clock.elapsed();
    if (canceller.joinable())
        canceller.join();
    std::printf("%d %s %lld\n", int(r.Stage), FamilyName(r.Family), static_cast<long long>(elapsed));
    if (r.Socket >= 0)
        ::close(r.Socket);
    return 0;
}

} // namespace

class TstTcpConnect : public QObject
{
    Q_OBJECT

private slots:
    void raceOrder_data();
    void raceOrder();
    void connectsOverEachFamily_data();
    void connectsOverEachFamily();
    void ipVersionChoice_data();
    void ipVersionChoice();
    void closedIPv6PortFallsBackToIPv4();
    void failures_data();
    void failures();
    void blackholedIPv6_data();
    void blackholedIPv6();
};

void TstTcpConnect::raceOrder_data()
{
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("v6 leads though listed last")
        << QStringList{"10.0.0.1", "10.0.0.2", "2001:db8::1"}
        << QStringList{"2001:db8::1", "10.0.0.1", "10.0.0.2"};
    QTest::newRow("families alternate, order within a family kept")
        << QStringList{"2001:db8::1", "2001:db8::2", "10.0.0.1", "10.0.0.2"}
        << QStringList{"2001:db8::1", "10.0.0.1", "2001:db8::2", "10.0.0.2"};
    QTest::newRow("duplicates dropped") << QStringList{"::1", "127.0.0.1", "::1", "127.0.0.1"}
                                        << QStringList{"::1", "127.0.0.1"};
    QTest::newRow("one family only") << QStringList{"10.0.0.2", "10.0.0.1"}
                                     << QStringList{"10.0.0.2", "10.0.0.1"};
    QTest::newRow("nothing") << QStringList{} << QStringList{};
}

void TstTcpConnect::raceOrder()
{
    QFETCH(QStringList, given);
    QFETCH(QStringList, expected);
    std::vector<TResolvedAddress> list;
    for (const QString &s : given)
        list.push_back(Address(s.toLatin1().constData()));
    QStringList got;
    for (const TResolvedAddress &a : RaceOrder(list))
        got << QString::fromStdString(NumericAddress(a));
    QCOMPARE(got, expected);
}

void TstTcpConnect::connectsOverEachFamily_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("family");
    QTest::newRow("ipv4") << "127.0.0.1" << "ipv4";
    QTest::newRow("ipv6") << "::1" << "ipv6";
}

void TstTcpConnect::connectsOverEachFamily()
{
    QFETCH(QString, address);
    QFETCH(QString, family);
    BoundPort server(address.toLatin1().constData(), true);
    if (server.Fd < 0)
        QSKIP("this loopback family is not available here");
    // The system resolver: a literal needs no DNS.
    const TConnectResult r = TcpConnect(address.toStdString(), server.Port, {});
    QVERIFY2(r.Ok(), qPrintable(Describe(r)));
    QCOMPARE(QString::fromLatin1(FamilyName(r.Family)), family);
    QCOMPARE(QString::fromStdString(r.AddressText), address);
    QVERIFY(r.Socket >= 0);
    ::close(r.Socket);
}

void TstTcpConnect::ipVersionChoice_data()
{
    QTest::addColumn<TIpVersion>("version");
    QTest::addColumn<QString>("family");
    QTest::newRow("automatic prefers ipv6") << TIpVersion::Automatic << "ipv6";
    QTest::newRow("ipv4 only") << TIpVersion::IPv4Only << "ipv4";
    QTest::newRow("ipv6 only") << TIpVersion::IPv6Only << "ipv6";
}

void TstTcpConnect::ipVersionChoice()
{
    QFETCH(TIpVersion, version);
    QFETCH(QString, family);
    BoundPort v6("::1", true);
    if (v6.Fd < 0)
        QSKIP("no IPv6 loopback here");
    BoundPort v4("127.0.0.1", true, v6.Port);
    if (v4.Fd < 0)
        QSKIP("the IPv6 port is taken on IPv4");
    TConnectOptions options;
    options.Version = version;
    // The resolver ignores the family asked for: the choice must still hold.
    options.Resolver = [](const std::string &, int, std::vector<TResolvedAddress> &out, int &) {
        out = {Address("127.0.0.1"), Address("::1")};
        return 0;
    };
    const TConnectResult r = TcpConnect("dual.test", v6.Port, options);
    QVERIFY2(r.Ok(), qPrintable(Describe(r)));
    QCOMPARE(QString::fromLatin1(FamilyName(r.Family)), family);
    ::close(r.Socket);
}

void TstTcpConnect::closedIPv6PortFallsBackToIPv4()
{
    BoundPort closed("::1", false); // bound, never listening: a refusal
    if (closed.Fd < 0)
        QSKIP("no IPv6 loopback here");
    BoundPort v4("127.0.0.1", true, closed.Port);
    if (v4.Fd < 0)
        QSKIP("the port is taken on IPv4");
    TConnectOptions options;
    options.Resolver = Stub({Address("::1"), Address("127.0.0.1")});
    options.TimeoutMs = 10000;
    QElapsedTimer clock;
    clock.start();
    const TConnectResult r = TcpConnect("dual.test", closed.Port, options);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(r.Ok(), qPrintable(Describe(r)));
    QCOMPARE(QString::fromLatin1(FamilyName(r.Family)), QStringLiteral("ipv4"));
    QCOMPARE(r.Attempts, 2);
    qInfo("fallback after a refusal took %lld ms", static_cast<long long>(elapsed));
    // A refusal hands over at once; far below the time limit it would otherwise run into.
    QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
    ::close(r.Socket);
}

void TstTcpConnect::failures_data()
{
    QTest::addColumn<int>("resolveCode");
    // "short" and "short6": an address of a wrong length, which connect() refuses with EINVAL
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("stage");
    QTest::addColumn<int>("error");
    using S = TConnectResult::TStage;
    QTest::newRow("lookup fails") << int(EAI_NONAME) << QStringList{} << int(TIpVersion::Automatic)
                                  << int(S::Lookup) << int(EAI_NONAME);
    QTest::newRow("no address of the chosen family")
        << 0 << QStringList{"127.0.0.1"} << int(TIpVersion::IPv6Only) << int(S::Lookup)
        << int(EAI_NONAME);
    QTest::newRow("one address refused keeps its own error")
        << 0 << QStringList{"::1"} << int(TIpVersion::Automatic) << int(S::Connect)
        << int(ECONNREFUSED);
    QTest::newRow("several: the last attempt's error")
        << 0 << QStringList{"short", "::1"} << int(TIpVersion::Automatic) << int(S::Connect)
        << int(EINVAL);
    QTest::newRow("several, other way round: still the last attempt's error")
        << 0 << QStringList{"127.0.0.1", "short6"} << int(TIpVersion::Automatic) << int(S::Connect)
        << int(ECONNREFUSED);
}

void TstTcpConnect::failures()
{
    QFETCH(int, resolveCode);
    QFETCH(QStringList, addresses);
    QFETCH(int, version);
    QFETCH(int, stage);
    QFETCH(int, error);
    BoundPort closed("::1", false);
    if (closed.Fd < 0)
        QSKIP("no IPv6 loopback here");
    BoundPort closed4("127.0.0.1", false, closed.Port);
    if (closed4.Fd < 0)
        QSKIP("the port is taken on IPv4");
    std::vector<TResolvedAddress> list;
    for (const QString &s : addresses) {
        if (s.startsWith("short")) {
            TResolvedAddress a = Address(s == "short6" ? "::1" : "127.0.0.1");
            a.Length = 4;
            list.push_back(a);
        } else {
            list.push_back(Address(s.toLatin1().constData()));
        }
    }
    TConnectOptions options;
    options.Version = TIpVersion(version);
    options.Resolver = Stub(list, resolveCode);
    const TConnectResult r = TcpConnect("name.test", closed.Port, options);
    QCOMPARE(int(r.Stage), stage);
    QCOMPARE(r.ErrorCode, error);
    QCOMPARE(r.Socket, -1);
}

void TstTcpConnect::blackholedIPv6_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<int>("stage");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<int>("belowMs");
    using S = TConnectResult::TStage;
    // The fallback waits the attempt delay, not the failure of the first attempt.
    QTest::newRow("falls back to ipv4") << "fallback" << int(S::Done) << "ipv4" << 240 << 2000;
    QTest::newRow("time limit") << "timeout" << int(S::Timeout) << "" << 290 << 5000;
    QTest::newRow("cancelled while waiting") << "cancel" << int(S::Cancelled) << "" << 190 << 5000;
}

void TstTcpConnect::blackholedIPv6()
{
    QFETCH(QString, scenario);
    QFETCH(int, stage);
    QFETCH(QString, family);
    QFETCH(int, atLeastMs);
    QFETCH(int, belowMs);
    if (QStandardPaths::findExecutable("unshare").isEmpty() || QStandardPaths::findExecutable("ip").isEmpty())
        QSKIP("unshare or ip is missing");
    QProcess probe;
    probe.start("unshare", {"-rn", "ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
        QSKIP("no private network namespace with a veth pair allowed here");

    QProcess child;
    child.start("unshare", {"-rn", "sh", "-c", kBlackholeSetup,
                            QCoreApplication::applicationFilePath(), scenario});
    QVERIFY(child.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    QVERIFY2(child.exitCode() == 0, qPrintable(out + child.readAllStandardError()));
    const QStringList parts = out.split(u' ', Qt::KeepEmptyParts);
    QCOMPARE(parts.size(), 3);
    qInfo("%s: %s ms", qPrintable(scenario), qPrintable(parts[2]));
    QCOMPARE(parts[0].toInt(), stage);
    QCOMPARE(parts[1], family);
    QVERIFY2(parts[2].toInt() >= atLeastMs && parts[2].toInt() < belowMs, qPrintable(out));
}

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--netns-child") == 0)
        return RunNetnsChild(argv[2]);
    QCoreApplication app(argc, argv);
    TstTcpConnect test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tcpconnect.moc"
