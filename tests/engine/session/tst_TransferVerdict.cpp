#include "engine/session/ReceiveWindowAdvice.h"
#include "engine/session/TransferVerdict.h"

#include <QLocale>
#include <QTest>

class TestTransferVerdict : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rules_data();
    void rules();
    void windowFilled_data();
    void windowFilled();
    void longRoundTrip_data();
    void longRoundTrip();
    void windowFigures();
    void advice_data();
    void advice();
    void settingsParse_data();
    void settingsParse();
};

namespace {

// A ten-second, one-stream download at 10 MB/s; each row changes what it needs.
TVerdictInput base()
{
    TVerdictInput in;
    in.Streams = 1;
    in.Bytes = 100'000'000;
    in.DurationUs = 10'000'000;
    in.SenderKnown = true;
    in.BusyUs = in.DurationUs;
    in.MssBytes = 1448;
    in.RttUs = 20'000;
    in.MinRttUs = 19'500;
    in.WindowBytes = 4 << 20;
    in.ClientCpuUs = 1'000'000;
    in.ClientWallUs = in.DurationUs;
    return in;
}

} // namespace

void TestTransferVerdict::initTestCase()
{
    QLocale::setDefault(QLocale::c());
}

void TestTransferVerdict::rules_data()
{
    QTest::addColumn<double>("busy");     // of the duration
    QTest::addColumn<double>("rwnd");     // of busy
    QTest::addColumn<double>("sndbuf");   // of busy
    QTest::addColumn<int>("retransmits"); // segments of 1448 bytes
    QTest::addColumn<int>("rttUs");
    QTest::addColumn<int>("windowBytes");
    QTest::addColumn<double>("cpu");
    QTest::addColumn<double>("idleMs");   // -1: no latency test
    QTest::addColumn<double>("loadedMs");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("text");

    // 10 MB/s over 20 ms: 200 kB in flight. A 192 KiB window allows 9.8 MB/s.
    QTest::newRow("window holds the rate") << 1.0 << 0.9 << 0.0 << 0 << 20'000 << 192 * 1024 << 0.1 << -1.0 << -1.0
                                           << false << "receive_window" << "192 KiB at 20 ms RTT allows 9.8 MB/s";
    // A 320 KiB window allows 16 MB/s: it explains the rate without being filled by it.
    QTest::newRow("window wait at exactly half") << 1.0 << 0.5 << 0.0 << 0 << 20'000 << 320 * 1024 << 0.1 << -1.0
                                                 << -1.0 << false << "receive_window" << "receive window";
    QTest::newRow("window wait just under half") << 1.0 << 0.49 << 0.0 << 0 << 20'000 << 320 * 1024 << 0.1 << -1.0
                                                 << -1.0 << false << "path" << "carries 80.0 Mbit/s at 20 ms RTT";
    QTest::newRow("busy reader: window open, processor full") << 1.0 << 0.8 << 0.0 << 0 << 20'000 << (16 << 20)
                                                              << 0.97 << -1.0 << -1.0 << false << "client_cpu"
                                                              << "97 % of a processor";
    QTest::newRow("small window wins over a busy processor") << 1.0 << 0.8 << 0.0 << 0 << 20'000 << 192 * 1024
                                                             << 0.97 << -1.0 << -1.0 << false << "receive_window"
                                                             << "allows";
    QTest::newRow("window wait, window size unknown") << 1.0 << 0.7 << 0.0 << 0 << 20'000 << 0 << 0.1 << -1.0 << -1.0
                                                      << false << "receive_window" << "70 % of its busy time";
    QTest::newRow("send buffer") << 1.0 << 0.1 << 0.6 << 0 << 20'000 << (4 << 20) << 0.1 << -1.0 << -1.0 << false
                                 << "send_buffer" << "the server waited on its send buffer for 60 %";
    QTest::newRow("paced server") << 0.02 << 0.0 << 0.0 << 0 << 20'000 << (4 << 20) << 0.1 << -1.0 << -1.0 << false
                                  << "application" << "the server had nothing to send for 98 %";
    QTest::newRow("upload sender idle is this machine") << 0.5 << 0.0 << 0.0 << 0 << 20'000 << (4 << 20) << 0.1
                                                        << -1.0 << -1.0 << true << "application"
                                                        << "this machine had nothing to send";
    QTest::newRow("busy at exactly the minimum") << 0.8 << 0.0 << 0.0 << 0 << 20'000 << (4 << 20) << 0.1 << -1.0
                                                 << -1.0 << false << "path" << "path";
    // 1 % of 100 MB is 691 segments; the round trip stays within 0.5 ms of its lowest.
    QTest::newRow("drops without a queue") << 1.0 << 0.0 << 0.0 << 1400 << 20'000 << (4 << 20) << 0.1 << -1.0 << -1.0
                                           << false << "loss" << "2 % of the data was sent again";
    QTest::newRow("drops under half a per cent") << 1.0 << 0.0 << 0.0 << 300 << 20'000 << (4 << 20) << 0.1 << -1.0
                                                 << -1.0 << false << "path" << "its queue did not grow";
    QTest::newRow("drops at half a per cent") << 1.0 << 0.0 << 0.0 << 350 << 20'000 << (4 << 20) << 0.1 << -1.0
                                              << -1.0 << false << "loss" << "1 % of the data was sent again";
    // A shaper's full queue: the round trip rose to 80 ms before the drops.
    QTest::newRow("drops at a full queue are the path") << 1.0 << 0.0 << 0.0 << 3000 << 80'000 << (4 << 20) << 0.1
                                                        << -1.0 << -1.0 << false << "path"
                                                        << "its queue grew by 61 ms under the load";
    // The probes beside the load decide how much the queue grew, not the sender's samples.
    QTest::newRow("latency probes see no queue") << 1.0 << 0.0 << 0.0 << 3000 << 80'000 << (4 << 20) << 0.1 << 20.0
                                                 << 21.0 << false << "loss" << "grew by only 1.0 ms";
    QTest::newRow("latency probes see a queue") << 1.0 << 0.0 << 0.0 << 3000 << 20'000 << (4 << 20) << 0.1 << 20.0
                                                << 120.0 << false << "path" << "grew by 100 ms";
}

void TestTransferVerdict::rules()
{
    QFETCH(double, busy);
    QFETCH(double, rwnd);
    QFETCH(double, sndbuf);
    QFETCH(int, retransmits);
    QFETCH(int, rttUs);
    QFETCH(int, windowBytes);
    QFETCH(double, cpu);
    QFETCH(double, idleMs);
    QFETCH(double, loadedMs);
    QFETCH(bool, upload);
    QFETCH(QString, limit);
    QFETCH(QString, text);

    TVerdictInput in = base();
    in.Upload = upload;
    in.BusyUs = int64_t(busy * double(in.DurationUs));
    in.RwndLimitedUs = int64_t(rwnd * double(in.BusyUs));
    in.SndbufLimitedUs = int64_t(sndbuf * double(in.BusyUs));
    in.Retransmits = retransmits;
    in.RttUs = rttUs;
    in.WindowBytes = windowBytes;
    in.ClientCpuUs = int64_t(cpu * double(in.ClientWallUs));
    if (idleMs >= 0) {
        in.IdleLatencyMs = idleMs;
        in.LoadedLatencyMs = loadedMs;
    }
    const TVerdict v = TVerdict::Decide(in);
    QCOMPARE(TVerdict::LimitName(v.Limit), limit);
    QVERIFY2(v.Text.contains(text), qPrintable(v.Text));
    TLimit back = TLimit::Unknown;
    QVERIFY(TVerdict::LimitFromName(limit, back));
    QCOMPARE(back, v.Limit);
}

void TestTransferVerdict::windowFilled_data()
{
    QTest::addColumn<double>("rateMBps");
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("windowBytes"); // per stream
    QTest::addColumn<int>("minRttUs");
    QTest::addColumn<int>("rttUs");
    QTest::addColumn<double>("rwnd"); // of busy
    QTest::addColumn<bool>("upload");
    QTest::addColumn<QString>("limit");

    // 64 KiB over 40 ms allows 1.6 MB/s; the transfer got 1.7 (the window is a little more
    // than half the buffer), and the sender counted only a third of its time as waiting.
    QTest::newRow("64 KiB over 40 ms, a third counted") << 1.7 << 1 << 65536 << 39'500 << 40'500 << 0.33 << false
                                                       << "receive_window";
    QTest::newRow("four streams fill theirs") << 6.0 << 4 << 65536 << 39'500 << 40'500 << 0.2 << false
                                              << "receive_window";
    QTest::newRow("upload into the server's window") << 1.7 << 1 << 65536 << 39'500 << 40'500 << 0.1 << true
                                                     << "receive_window";
    // The kernel's own sizing keeps the window at twice what the path carries.
    QTest::newRow("window twice the rate") << 10.0 << 1 << 400 * 1024 << 19'500 << 20'000 << 0.1 << false << "path";
    // 256 KiB fills only once a 100 ms queue has grown: the path set the rate, the queue took
    // the rest of the window.
    QTest::newRow("filled only over a grown queue") << 1.25 << 1 << 256 * 1024 << 100'000 << 200'000 << 0.3
                                                    << false << "path";
}

void TestTransferVerdict::windowFilled()
{
    QFETCH(double, rateMBps);
    QFETCH(int, streams);
    QFETCH(int, windowBytes);
    QFETCH(int, minRttUs);
    QFETCH(int, rttUs);
    QFETCH(double, rwnd);
    QFETCH(bool, upload);
    QFETCH(QString, limit);

    TVerdictInput in = base();
    in.Upload = upload;
    in.Streams = streams;
    in.Bytes = int64_t(rateMBps * 1e6 * double(in.DurationUs) / 1e6);
    in.BusyUs = in.DurationUs * streams;
    in.RwndLimitedUs = int64_t(rwnd * double(in.BusyUs));
    in.WindowBytes = windowBytes;
    in.MinRttUs = minRttUs;
    in.RttUs = rttUs;
    const TVerdict v = TVerdict::Decide(in);
    QVERIFY2(TVerdict::LimitName(v.Limit) == limit, qPrintable(v.Text));
}

void TestTransferVerdict::longRoundTrip_data()
{
    QTest::addColumn<int>("samples");    // of the sender's delivery flag
    QTest::addColumn<int>("appLimited"); // of them, with nothing more queued
    QTest::addColumn<int>("retransmits");
    QTest::addColumn<double>("idleMs");
    QTest::addColumn<double>("loadedMs");
    QTest::addColumn<double>("late"); // share of the retransmits in the second half, -1: unknown
    QTest::addColumn<QString>("limit");
    QTest::addColumn<QString>("text");

    // Over 40 ms a paced sender always has data in flight: busy all the time, but its kernel
    // marks its deliveries as of a sender with nothing queued.
    QTest::newRow("paced sender, busy all along") << 12 << 11 << 0 << 40.0 << 40.5 << -1.0 << "application"
                                                  << "had nothing more to send in 92 % of its samples";
    QTest::newRow("half the samples") << 12 << 6 << 0 << 40.0 << 40.5 << -1.0 << "application" << "50 %";
    QTest::newRow("a few samples") << 12 << 5 << 0 << 40.0 << 40.5 << -1.0 << "path" << "its queue did not grow";
    QTest::newRow("no samples") << 0 << 0 << 0 << 40.0 << 40.5 << -1.0 << "path" << "path";
    // 1 % random loss under a sender that probes for rate: the queue rose 3 ms over 40.
    QTest::newRow("random loss, a probing sender") << 12 << 0 << 1400 << 40.0 << 43.0 << -1.0 << "loss" << "grew by only 3.0 ms";
    QTest::newRow("random loss, drops all along") << 12 << 0 << 1400 << 40.0 << 43.0 << 0.5 << "loss" << "2 % of the data was sent again";
    // BBR's start-up filled the queue once and dropped; then it kept the queue short.
    QTest::newRow("a burst of drops at the start") << 12 << 0 << 1400 << 40.0 << 43.0 << 0.05 << "path"
                                                   << "its queue did not grow";
    QTest::newRow("drops at a 12 ms queue over 40") << 12 << 0 << 1400 << 40.0 << 52.0 << -1.0 << "path" << "grew by 12 ms";
}

void TestTransferVerdict::longRoundTrip()
{
    QFETCH(int, samples);
    QFETCH(int, appLimited);
    QFETCH(int, retransmits);
    QFETCH(double, idleMs);
    QFETCH(double, loadedMs);
    QFETCH(double, late);
    QFETCH(QString, limit);
    QFETCH(QString, text);

    TVerdictInput in = base();
    in.RttUs = 40'500;
    in.MinRttUs = 40'000;
    in.RateSamples = samples;
    in.AppLimitedSamples = appLimited;
    in.Retransmits = retransmits;
    in.IdleLatencyMs = idleMs;
    in.LoadedLatencyMs = loadedMs;
    in.LateRetransmitShare = late;
    const TVerdict v = TVerdict::Decide(in);
    QVERIFY2(TVerdict::LimitName(v.Limit) == limit, qPrintable(v.Text));
    QVERIFY2(v.Text.contains(text), qPrintable(v.Text));
}

void TestTransferVerdict::windowFigures()
{
    // The figures of the example: 256 KiB at 42 ms.
    TVerdictInput in = base();
    in.Bytes = 60'000'000;
    in.RttUs = 42'000;
    in.WindowBytes = 256 * 1024;
    in.RwndLimitedUs = in.BusyUs * 3 / 4;
    TVerdict v = TVerdict::Decide(in);
    QCOMPARE(v.Limit, TLimit::ReceiveWindow);
    QCOMPARE(v.RwndShare, 0.75);
    QCOMPARE(qRound(v.WindowRateBps), 6'241'524);
    // The next line rate at least twice what the window allows, and its window.
    QCOMPARE(v.TargetRateBps, 100e6 / 8);
    QCOMPARE(v.NeededWindowBytes, int64_t(525'000));
    QVERIFY2(v.Text.startsWith("Limited by the receive window: 256 KiB at 42 ms RTT allows 6.2 MB/s; the path could "
                               "carry more. A window of 513 KiB would allow 100 Mbit/s."),
             qPrintable(v.Text));

    // Four streams share the rate: each needs a quarter of the window.
    in.Streams = 4;
    v = TVerdict::Decide(in);
    QCOMPARE(qRound(v.WindowRateBps / 4), 6'241'524);
    QCOMPARE(v.TargetRateBps, 1e9 / 8);
    QCOMPARE(v.NeededWindowBytes, int64_t(1'312'500));

    // What cannot be decided says so, with the reason.
    in = base();
    in.SenderTimesKnown = false;
    v = TVerdict::Decide(in);
    QCOMPARE(v.Limit, TLimit::Unknown);
    QVERIFY(v.Text.contains("does not say how long it was busy"));
    in = base();
    in.SenderKnown = false;
    v = TVerdict::Decide(in);
    QCOMPARE(v.Limit, TLimit::Unknown);
    QVERIFY(v.Text.contains("sender's figures are missing"));
    in = base();
    in.Bytes = 0;
    QCOMPARE(TVerdict::Decide(in).Limit, TLimit::Unknown);
}

void TestTransferVerdict::advice_data()
{
    QTest::addColumn<QString>("rmem");
    QTest::addColumn<QString>("rmemMax");
    QTest::addColumn<int>("needed");
    QTest::addColumn<int>("requested");
    QTest::addColumn<bool>("download");
    QTest::addColumn<QString>("text");

    QTest::newRow("autotuning stops short") << "4096 131072 6291456" << "212992" << (5 << 20) << 0 << true
                                            << "sysctl -w net.ipv4.tcp_rmem='4096 131072 10485760'";
    QTest::newRow("autotuning has room") << "4096 131072 33554432" << "212992" << (1 << 20) << 0 << true
                                         << "net.ipv4.tcp_rmem allows a buffer of 33554432 here";
    QTest::newRow("small window asked for") << "4096 131072 6291456" << "212992" << 44 * 1024 << 16384 << true
                                            << "fixed at 16 KiB by --window; without it the kernel grows the "
                                               "buffer up to 6.0 MiB";
    QTest::newRow("asked for more than rmem_max") << "4096 131072 6291456" << "212992" << (1 << 20) << (1 << 20)
                                                  << true << "sysctl -w net.core.rmem_max=2097152";
    QTest::newRow("upload: the server's window") << "4096 131072 6291456" << "212992" << (1 << 20) << 0 << false
                                                 << "The window is the server's";
    QTest::newRow("settings unreadable") << "" << "" << (1 << 20) << 0 << true << "cannot be read";
}

void TestTransferVerdict::advice()
{
    QFETCH(QString, rmem);
    QFETCH(QString, rmemMax);
    QFETCH(int, needed);
    QFETCH(int, requested);
    QFETCH(bool, download);
    QFETCH(QString, text);

    TReceiveWindowSettings s;
    TReceiveWindowSettings::Parse(rmem, rmemMax, s);
    const QString advice = ReceiveWindowAdvice::Text(s, needed, requested, download);
    QVERIFY2(advice.contains(text), qPrintable(advice));
}

void TestTransferVerdict::settingsParse_data()
{
    QTest::addColumn<QString>("rmem");
    QTest::addColumn<QString>("rmemMax");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qlonglong>("largest");

    QTest::newRow("tabs as the kernel writes them") << "4096\t131072\t6291456\n" << "212992\n" << true
                                                    << qlonglong(6291456);
    QTest::newRow("two values") << "4096 131072" << "212992" << false << qlonglong(0);
    QTest::newRow("not a number") << "4096 x 6291456" << "212992" << false << qlonglong(0);
    QTest::newRow("rmem_max missing") << "4096 131072 6291456" << "" << false << qlonglong(0);
    QTest::newRow("zero") << "0 131072 6291456" << "212992" << false << qlonglong(0);
}

void TestTransferVerdict::settingsParse()
{
    QFETCH(QString, rmem);
    QFETCH(QString, rmemMax);
    QFETCH(bool, ok);
    QFETCH(qlonglong, largest);

    TReceiveWindowSettings s;
    QCOMPARE(TReceiveWindowSettings::Parse(rmem, rmemMax, s), ok);
    QCOMPARE(qlonglong(s.TcpRmemMax), largest);
}

QTEST_GUILESS_MAIN(TestTransferVerdict)
#include "tst_TransferVerdict.moc"
