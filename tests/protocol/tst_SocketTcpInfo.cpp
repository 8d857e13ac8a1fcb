#include "protocol/SocketTcpInfo.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// The one TCP_INFO reader both sides use: the client for its own view, the server for the
// figures it reports. A loopback connection that carried data shows what each side sees.
class TestSocketTcpInfo : public QObject
{
    Q_OBJECT

private slots:
    void sendingSideOfALoopbackConnection();
    void notATcpSocket_data();
    void notATcpSocket();
};

namespace {

struct Connection
{
    int sender = -1;
    int receiver = -1;
    ~Connection()
    {
        for (int fd : {sender, receiver})
            if (fd >= 0)
                ::close(fd);
    }
};

bool connectLoopback(Connection &c)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool listening = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
                           && ::listen(listener, 1) == 0
                           && ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
    c.sender = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool connected = listening && ::connect(c.sender, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    if (connected)
        c.receiver = ::accept(listener, nullptr, nullptr);
    if (listener >= 0)
        ::close(listener);
    return c.receiver >= 0;
}

} // namespace

void TestSocketTcpInfo::sendingSideOfALoopbackConnection()
{
    Connection c;
    QVERIFY(connectLoopback(c));
    // 4 MiB through, read as it comes, so both sides have round trips and the sender was busy.
    const std::vector<char> block(64 * 1024, 'k');
    std::vector<char> sink(256 * 1024);
    qint64 sent = 0, received = 0;
    const qint64 total = 4 * 1024 * 1024;
    while (received < total) {
        if (sent < total) {
            const ssize_t n = ::send(c.sender, block.data(), block.size(), MSG_DONTWAIT);
            if (n > 0)
                sent += n;
        }
        const ssize_t r = ::recv(c.receiver, sink.data(), sink.size(), sent < total ? MSG_DONTWAIT : 0);
        if (r > 0)
            received += r;
        QVERIFY(r != 0);
    }

    TSocketTcpInfo sender, receiver;
    QVERIFY(TSocketTcpInfo::Read(c.sender, sender));
    QVERIFY(TSocketTcpInfo::Read(c.receiver, receiver));
    QVERIFY(sender.RttUs > 0);
    QVERIFY(sender.MinRttUs > 0 && sender.MinRttUs <= sender.RttUs * 8);
    QVERIFY(sender.SndMss > 0 && sender.CwndBytes >= sender.SndMss);
    QVERIFY2(sender.BytesSent >= total, qPrintable(QString::number(sender.BytesSent)));
    QVERIFY(receiver.RcvBuf > 0 && receiver.RcvSpace > 0);

    // The report's figures are the same reading, field by field.
    const SessionTcpFigures f = TSocketTcpInfo::SessionFigures(c.sender);
    TSocketTcpInfo again;
    QVERIFY(TSocketTcpInfo::Read(c.sender, again));
    QCOMPARE(f.MinRttUs, uint64_t(again.MinRttUs));
    QCOMPARE(f.Retransmits, uint64_t(again.Retransmits));
    QCOMPARE(f.CwndBytes, uint64_t(again.CwndBytes));
    QCOMPARE(f.BusyUs, uint64_t(again.BusyUs));
    QCOMPARE(f.RwndLimitedUs, uint64_t(again.RwndLimitedUs));
    QCOMPARE(f.SndbufLimitedUs, uint64_t(again.SndbufLimitedUs));
    QCOMPARE(f.RcvSpace, uint64_t(again.RcvSpace));
    QVERIFY(f.RttUs > 0);
}

void TestSocketTcpInfo::notATcpSocket_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("closed descriptor") << 0;
    QTest::newRow("UDP socket") << 1;
    QTest::newRow("pipe") << 2;
}

// Nothing to read gives false and zeros, never stale or random figures.
void TestSocketTcpInfo::notATcpSocket()
{
    QFETCH(int, kind);
    int fds[2] = {-1, -1};
    int fd = -1;
    if (kind == 1)
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    else if (kind == 2 && ::pipe(fds) == 0)
        fd = fds[0];
    else if (kind == 0) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::close(fd); // a number that names nothing now
    }
    QVERIFY(kind == 0 || fd >= 0);

    TSocketTcpInfo info;
    info.RttUs = 77;
    QVERIFY(!TSocketTcpInfo::Read(fd, info));
    QCOMPARE(info.RttUs, 0);
    QCOMPARE(info.BusyUs, 0);
    QVERIFY(TSocketTcpInfo::SessionFigures(fd) == SessionTcpFigures{});
    if (kind == 1)
        ::close(fd);
    for (int p : fds)
        if (p >= 0)
            ::close(p);
}

QTEST_GUILESS_MAIN(TestSocketTcpInfo)
#include "tst_SocketTcpInfo.moc"
