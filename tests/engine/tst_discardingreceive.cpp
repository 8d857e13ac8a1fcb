#include "DiscardingReceive.h"

#include <QtTest>

#include <arpa/inet.h>
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

QTEST_GUILESS_MAIN(TestDiscardingReceive)
#include "tst_discardingreceive.moc"
