#include "engine/net/DiscardingReceive.h"
#include "engine/net/ReceiveLowWater.h"

#include <QtTest>

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// Receiving without the copy must count exactly what a copying receive counts, and the
// fallback must be an ordinary read.
class TestDiscardingReceive : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setReceiveDiscardingInKernel(true); }
    void countsLikeACopyingReceive_data();
    void countsLikeACopyingReceive();
    void lowWaterFollowsTheRate_data();
    void lowWaterFollowsTheRate();
    void lowWaterHoldsWakeupsButNotTheEnd();
};

namespace {

// A connected TCP pair on loopback: sender and receiver.
bool tcpPair(int &sender, int &receiver)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 || ::listen(listener, 1) < 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) < 0)
        return false;
    sender = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool ok = ::connect(sender, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    receiver = ok ? ::accept(listener, nullptr, nullptr) : -1;
    ::close(listener);
    return ok && receiver >= 0;
}

} // namespace

void TestDiscardingReceive::countsLikeACopyingReceive_data()
{
    QTest::addColumn<bool>("inKernel");
    QTest::addColumn<int>("amount");
    QTest::addColumn<int>("chunk");
    QTest::newRow("dropped in the kernel") << true << 300000 << 65536;
    QTest::newRow("dropped, chunk larger than all") << true << 1000 << 65536;
    QTest::newRow("read into scratch") << false << 300000 << 65536;
    QTest::newRow("read, odd chunk") << false << 100003 << 4099;
}

void TestDiscardingReceive::countsLikeACopyingReceive()
{
    QFETCH(bool, inKernel);
    QFETCH(int, amount);
    QFETCH(int, chunk);
    setReceiveDiscardingInKernel(inKernel);
    int sender = -1, receiver = -1;
    QVERIFY(tcpPair(sender, receiver));

    std::vector<char> data(static_cast<size_t>(amount));
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + 1);
    QCOMPARE(::send(sender, data.data(), data.size(), 0), ssize_t(amount));
    ::shutdown(sender, SHUT_WR);

    std::vector<char> scratch(static_cast<size_t>(chunk), 0);
    qint64 total = 0;
    bool scratchTouched = false;
    for (;;) {
        const ssize_t n = ReceiveDiscarding(receiver, scratch.data(), scratch.size());
        QVERIFY2(n >= 0, strerror(errno));
        QVERIFY(n <= chunk);
        if (n == 0)
            break;
        if (!inKernel) // a read brings the stream's own bytes, in order
            QCOMPARE(scratch[0], data[size_t(total)]);
        for (ssize_t i = 0; i < n && !scratchTouched; ++i)
            scratchTouched = scratch[size_t(i)] != 0;
        if (!inKernel)
            std::fill(scratch.begin(), scratch.end(), 0);
        total += n;
    }
    QCOMPARE(total, qint64(amount));
    // The kernel dropped the data without writing the buffer (no copy made).
    if (inKernel && ReceiveDiscardingInKernel())
        QVERIFY(!scratchTouched);
    ::close(sender);
    ::close(receiver);
}

void TestDiscardingReceive::lowWaterFollowsTheRate_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("spanUs");
    QTest::addColumn<int>("wanted");
    QTest::newRow("nothing yet") << qint64(0) << qint64(0) << 1;
    QTest::newRow("no time yet") << qint64(5000) << qint64(0) << 1;
    // 10 ms of the rate so far.
    QTest::newRow("1 MB/s") << qint64(1000000) << qint64(1000000) << 10000;
    QTest::newRow("100 B/s: every byte") << qint64(100) << qint64(1000000) << 1;
    QTest::newRow("capped at 256 KiB") << qint64(4000000000) << qint64(1000000) << 262144;
    QTest::newRow("a year at 1 GB/s does not overflow") << qint64(31536000) * 1000000000
                                                        << qint64(31536000) * 1000000 << 262144;
}

void TestDiscardingReceive::lowWaterFollowsTheRate()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, spanUs);
    QFETCH(int, wanted);
    QCOMPARE(ReceiveLowWater::Wanted(bytes, spanUs), wanted);
}

void TestDiscardingReceive::lowWaterHoldsWakeupsButNotTheEnd()
{
    int sender = -1, receiver = -1;
    QVERIFY(tcpPair(sender, receiver));
    // Small changes are not worth a call; a large one is made.
    QCOMPARE(ReceiveLowWater::Update(receiver, 40000, 60000), 40000);
    QCOMPARE(ReceiveLowWater::Update(receiver, 1, 65536), 65536);

    const std::vector<char> data(10000, 'k');
    QCOMPARE(::send(sender, data.data(), data.size(), 0), ssize_t(data.size()));
    QTest::qWait(50);
    pollfd p{receiver, POLLIN, 0};
    QCOMPARE(::poll(&p, 1, 0), 0); // below the mark: the reader sleeps on

    ::shutdown(sender, SHUT_WR);
    QCOMPARE(::poll(&p, 1, 2000), 1); // the end wakes it all the same
    std::vector<char> scratch(65536);
    QCOMPARE(ReceiveDiscarding(receiver, scratch.data(), scratch.size()), ssize_t(data.size()));
    ::close(sender);
    ::close(receiver);
}

QTEST_GUILESS_MAIN(TestDiscardingReceive)
#include "tst_discardingreceive.moc"
