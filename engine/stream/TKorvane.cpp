#include "engine/stream/TKorvane.h"

#include "engine/ApplicationExceptionHandler.h"
#include "engine/DateTimeSerial.h"
#include "engine/httpclient/EFetchCancelled.h"
#include "engine/httpclient/EHttpSocketError.h"
#include "engine/EKorvnError.h"
#include "engine/LogTimestamp.h"
#include "engine/net/ServerTarget.h"
#include "engine/SystemErrorText.h"
#include "engine/TargetCheck.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>

namespace {
// Large enough that one pass over a full loopback receive queue needs only a few calls.
constexpr int64_t kReceiveChunk = 1 << 20;
} // namespace

TKorvane::TKorvane()
{
    stSocket = std::make_unique<TClientSocket>();
    stSocket->setObjectName(QStringLiteral("ClientSocket1"));
    stSocket->setPort(81);
    stSocket->OnDisconnect = [this](TClientSocket &s) { SocketDisconnect(s); };
    stSocket->OnConnecting = [this](TClientSocket &s) { SocketConnecting(s); };
    stSocket->OnError = [this](TClientSocket &s, TErrorEvent e, int &code) { SocketError(s, e, code); };
    stSocket->OnRead = [this](TClientSocket &s) { SocketRead(s); };

    stHTTP = std::make_unique<THttpClient>();
    stHTTP->setObjectName(QStringLiteral("HTTP"));
    stHTTP->OnStatus = [this](QObject *sender, THttpStatus status, const QString &text) {
        HTTPStatus(sender, status, text);
    };
    stHTTP->OnRedirect = [this](QObject *sender, QString &dest, int &numRedirect, bool &handled, QString &method) {
        HTTPRedirect(sender, dest, numRedirect, handled, method);
    };
    stHTTP->setAllowCookies(true);
    stHTTP->setHandleRedirects(true);
    stHTTP->setHTTPOptions(hoForceEncodeParams);
    setIpVersion(TIpVersion::Automatic); // every test kind races a name's addresses alike

    stHiResTimer = std::make_unique<THiresTimer>();
    stHiResTimer->setTimeResolution(1000000);

    FProgressTimer = std::make_unique<QTimer>();
    // Even steps make the live rate comparable from one report to the next.
    FProgressTimer->setTimerType(Qt::PreciseTimer);
    QObject::connect(FProgressTimer.get(), &QTimer::timeout, [this] { dispatchGuarded([this] { ReportProgress(); }); });
}

TKorvane::~TKorvane()
{
    FProgressTimer.reset();
    // The socket's destruction closes a connection without calling back into this object.
    auto socket = std::move(stSocket);
    socket.reset();
    auto http = std::move(stHTTP);
    if (http) {
        http->OnStatus = nullptr; // a connection closed now reports to nobody
        http->OnRedirect = nullptr;
    }
    http.reset();
    auto timer = std::move(stHiResTimer);
    timer.reset();
}

double TKorvane::KBytesTransferred() const
{
    return double((long double)FBytesTransferred / 1024);
}

double TKorvane::TransferTimeMs() const
{
    return double((long double)FTransferTime / 1000);
}

double TKorvane::TransferTimeSec() const
{
    return double((long double)FTransferTime / 1000000);
}

double TKorvane::TransferRateSec() const
{
    // No time measured means no rate, rather than a division by zero.
    if (FBytesTransferred == 0 || FTransferTime <= 0)
        return 0.0;
    return double((long double)FBytesTransferred / 1024 / FTransferTime * 1000000);
}

double TKorvane::AccumulatedAverageSpeed() const
{
    if (FAccumulatedTestCount <= 0)
        return 0.0;
    return double((long double)FAccumulatedAverageSpeed / FAccumulatedTestCount);
}

void TKorvane::ClearAccumalatedResults()
{
    FAccumulatedTestCount = 0;
    FAccumulatedAverageSpeed = 0.0;
}

void TKorvane::RestoreAccumulatedResults(int AccumulatedTestCount, double AccumulatedAverageSpeed)
{
    FAccumulatedTestCount = AccumulatedTestCount;
    FAccumulatedAverageSpeed = AccumulatedAverageSpeed * AccumulatedTestCount;
}

TKorvaneResultStatus TKorvane::CalculateKorvaneStatus(double TransferRate) const
{
    if (AccumulatedTestCount() <= 0)
        return strsNone;
    // Bounds in extended precision: 100 * 1.1 must be exactly 110 here.
    const long double average = AccumulatedAverageSpeed();
    if (average * 1.1L <= TransferRate)
        return strsAboveAverage;
    if (TransferRate <= average * 0.9L)
        return strsBelowAverage;
    return strsAverage;
}

void TKorvane::DoStatusMsg(const QString &text)
{
    if (FOnStatusMsg)
        FOnStatusMsg(LogTimestamp::line(text));
}

QString TKorvane::ConnectedAddress() const
{
    return FLastTestType == ttServerStream ? stSocket->PeerAddress() : stHTTP->PeerAddress();
}

QString TKorvane::ConnectedFamily() const
{
    return FLastTestType == ttServerStream ? stSocket->PeerFamily() : stHTTP->PeerFamily();
}

int TKorvane::ConnectedPort() const
{
    if (ConnectedAddress().isEmpty())
        return 0;
    return FLastTestType == ttServerStream ? stSocket->Port() : stHTTP->PeerPort();
}

QString TKorvane::ConnectedLine() const
{
    const QString address = ConnectedAddress();
    if (address.isEmpty())
        return QString();
    // Only where the log does not name the address already: a numeric target, or a page
    // whose "Connecting to" notice named the address that answered.
    const QString named = FLastTestType == ttServerStream ? stSocket->Host() : stHTTP->AnnouncedAddress();
    if (named == address)
        return QString();
    return QStringLiteral("Connected to %1 port %2.").arg(address).arg(ConnectedPort());
}

void TKorvane::setIpVersion(TIpVersion version)
{
    stSocket->setIpVersion(version);
    stHTTP->setIpVersionChoice(version == TIpVersion::IPv4Only   ? 4
                               : version == TIpVersion::IPv6Only ? 6
                                                                 : 0);
}

void TKorvane::DoTest(int TestType, const QString &TestTarget, int Port)
{
    FBytesTransferred = 0;
    FTransferTime = 0;
    FStartTime = -1.0;
    FTarget = TestTarget;
    FLastTestType = TestType == ttServerStream ? ttServerStream : ttWebPage;
    FValidResult = false;
    FTestDone = false;
    FTestCancelled = false;
    // Refused before it reaches the log or a lookup.
    QString problem = TargetCheck::problem(TestTarget);
    TServerTarget server;
    if (problem.isEmpty() && TestType == ttServerStream) {
        // "[::1]:8081" and the like: a port written in the target wins over the one given.
        server = ParseServerTarget(TestTarget.toStdString());
        problem = QString::fromStdString(server.Error);
    }
    if (!problem.isEmpty()) {
        FTarget.clear();
        MarkTestDone();
        throw EKorvnError(problem);
    }
    FTestRunning = true;
    FWebTest = TestType != ttServerStream;
    StopProgress();
    try {
        DoStatusMsg(QStringLiteral("Initiating Test to ") + FTarget);
        switch (TestType) {
        case ttServerStream:
            StartServerStreamTest(QString::fromStdString(server.Host), server.Port > 0 ? server.Port : Port);
            break;
        default:
            RunWebPageTest();
            break;
        }
    } catch (...) {
        FTestRunning = false; // a test that failed to start has nothing left to cancel
        StopProgress();
        throw;
    }
}

void TKorvane::CancelTest()
{
    if (!FTestRunning || FTestDone)
        return;
    // A stream whose close is already here ended before the cancel: it keeps its result.
    stSocket->DeliverPendingClose();
    if (FTestDone)
        return;
    stSocket->Abort();
    stHTTP->Cancel(); // the web fetch notices at its next wait and closes its connection
    stHiResTimer->Stop();
    StopProgress();
    FValidResult = false;
    FTestCancelled = true;
    MarkTestDone();
}

void TKorvane::RunWebPageTest()
{
    qint64 textLength = 0;
    try {
        // Only the text's length counts, so the body is measured rather than decoded.
        textLength = stHTTP->GetTextLength(FTarget);
        StopProgress();
    } catch (const EFetchCancelled &) {
        StopProgress();
        // CancelTest has normally ended the test already; the fetch closed its connection
        FTestRunning = false;
        FValidResult = false;
        FTestCancelled = true;
        MarkTestDone();
        return;
    } catch (const EHttpSocketError &e) {
        DisconnectAfterFailedFetch();
        throw EKorvnError(QStringLiteral("Korvane Socket Error #%1 - %2")
                              .arg(e.LastError())
                              .arg(SystemErrorText(e.LastError())));
    } catch (...) {
        DisconnectAfterFailedFetch();
        throw;
    }
    FTestRunning = false;
    if (FTestCancelled) {
        // cancelled after the last wait: the page arrived, but the test no longer counts
        stHTTP->Disconnect();
        return;
    }
    FBytesTransferred = uint64_t(textLength);
    FTransferTime = stHiResTimer->Stop();
    FValidResult = FBytesTransferred > 0 && FTransferTime > 0;
    stHTTP->Disconnect();
    MarkTestDone();
    AccumulateTestResult();
}

void TKorvane::DisconnectAfterFailedFetch() noexcept
{
    // The next test starts on a fresh connection, so it is timed from its own connect.
    FTestRunning = false;
    StopProgress();
    StopTimerAfterFailure();
    try {
        stHTTP->Disconnect();
    } catch (...) {
        // the fetch's failure is the one to report
    }
}

void TKorvane::HTTPStatus(QObject *, THttpStatus AStatus, const QString &AStatusText)
{
    DoStatusMsg(AStatusText);
    if (AStatus == hsConnected) {
        FStartTime = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
        stHiResTimer->Start();
        StartProgress();
        DoStatusMsg(QStringLiteral("Receiving data - timer started."));
    }
}

void TKorvane::HTTPRedirect(QObject *, QString &dest, int &, bool &, QString &)
{
    DoStatusMsg(QStringLiteral("Redirected to ") + dest + QStringLiteral(". Restarting timer."));
}

void TKorvane::StartServerStreamTest(const QString &Host, int Port)
{
    // A connection left over from an abandoned test goes quietly, so it cannot end this one.
    stSocket->Abort();
    stSocket->setPort(Port);
    stSocket->setHost(Host);
    stSocket->Open();
}

void TKorvane::StopTimerAfterFailure() noexcept
{
    // A stopwatch left running would time the next test that ends before its first block.
    try {
        stHiResTimer->Stop();
    } catch (...) {
        // not running any more either way; the failure being reported matters more
    }
}

void TKorvane::AccumulateTestResult()
{
    AccumulateResult(TransferRateSec());
}

void TKorvane::AccumulateResult(double TransferRate)
{
    FAccumulatedAverageSpeed += TransferRate;
    FAccumulatedTestCount += 1;
}

void TKorvane::MarkTestDone()
{
    FTestDone = true;
    if (FOnTestDone)
        FOnTestDone();
}

void TKorvane::SocketConnecting(TClientSocket &)
{
    DoStatusMsg(QStringLiteral("Connecting to ") + FTarget);
}

void TKorvane::SocketRead(TClientSocket &Socket)
{
    if (FBytesTransferred == 0) {
        FStartTime = DateTimeSerial::fromDateTime(QDateTime::currentDateTime());
        stHiResTimer->Start();
        StartProgress();
        DoStatusMsg(QStringLiteral("Receiving data - timer started."));
    }
    // One pass over what is queued right now; later arrivals bring their own notification.
    int64_t available = Socket.ReceiveLength();
    if (available <= 0)
        return;
    if (FReceiveBuffer.empty())
        FReceiveBuffer.resize(kReceiveChunk);
    while (available > 0) {
        const int64_t got = Socket.ReceiveDiscard(FReceiveBuffer.data(), std::min(available, kReceiveChunk));
        if (got <= 0)
            break;
        FBytesTransferred += uint64_t(got);
        available -= got;
    }
}

void TKorvane::SocketDisconnect(TClientSocket &Socket)
{
    FTransferTime = stHiResTimer->Stop();
    FValidResult = FBytesTransferred > 0 && FTransferTime > 0;
    AccumulateTestResult();
    while (Socket.ReceiveLength() > 0)
        SocketRead(Socket);
    StopProgress(); // after the drain, which may have started it for data that came with the close
    MarkTestDone();
}

void TKorvane::SocketError(TClientSocket &, TErrorEvent, int &ErrorCode)
{
    MarkTestDone();
    StopProgress();
    StopTimerAfterFailure();
    throw EKorvnError(QStringLiteral("Korvane Socket Error #%1 - %2").arg(ErrorCode).arg(SystemErrorText(ErrorCode)));
}

void TKorvane::StartProgress()
{
    FProgressBytes = 0;
    FProgressUs = 0;
    if (FProgressInterval > 0)
        FProgressTimer->start(FProgressInterval);
    else
        FProgressTimer->stop();
}

void TKorvane::StopProgress() noexcept
{
    FProgressTimer->stop();
}

void TKorvane::ReportProgress()
{
    // A report already queued when the test ended must not arrive after its end.
    if (FTestDone || !stHiResTimer->Running()) {
        StopProgress();
        return;
    }
    const int64_t elapsed = stHiResTimer->Lap();
    const int64_t bytes = FWebTest ? int64_t(stHTTP->BodyBytesRead()) : int64_t(FBytesTransferred);
    // A redirect's body was counted before the page's own; the page starts afresh.
    if (bytes < FProgressBytes)
        FProgressBytes = 0;
    TTestProgress progress;
    progress.BytesSoFar = bytes;
    progress.ElapsedUs = elapsed;
    progress.IntervalBytes = bytes - FProgressBytes;
    progress.IntervalUs = elapsed - FProgressUs;
    if (progress.IntervalUs > 0)
        progress.IntervalRate = double((long double)progress.IntervalBytes / 1024 / progress.IntervalUs * 1000000);
    progress.ExpectedBytes = FWebTest ? int64_t(stHTTP->AnnouncedBodyLength()) : -1;
    FProgressBytes = bytes;
    FProgressUs = elapsed;
    if (FOnProgress)
        FOnProgress(progress);
}
