#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/stream/TClientSocket.h"
#include "engine/stream/THiresTimer.h"
#include "engine/httpclient/THttpClient.h"
#include "engine/run/TTestProgress.h"

class QTimer;

enum TKorvaneResultStatus : uint8_t { strsNone, strsAboveAverage, strsAverage, strsBelowAverage };

// Receives each status line, already timestamped.
using TStatusMsgEvent = std::function<void(const QString &Msg)>;

// The measurement object: runs one test at a time and keeps the accumulated statistics.
class TKorvane
{
public:
    enum TestTypes { ttServerStream = 0, ttWebPage = 1 };

    TKorvane();
    ~TKorvane();
    TKorvane(const TKorvane &) = delete;
    TKorvane &operator=(const TKorvane &) = delete;

    std::unique_ptr<TClientSocket> stSocket;
    std::unique_ptr<THttpClient> stHTTP;
    std::unique_ptr<THiresTimer> stHiResTimer;

    // TestType 0: server stream, started here and finished through the event loop (watch
    // TestDone). Any other value: web page test. Port is used by the server stream only.
    void DoTest(int TestType, const QString &TestTarget, int Port);
    // Ends a running test at once: the connection is closed without notification, the result
    // is invalid and nothing is added to the statistics. A web test in progress stops at the
    // fetch's next wait, and DoTest then returns with TestCancelled set.
    void CancelTest();

    // Web tests may fetch https pages (off by default: they fail as without TLS). The window's
    // "Allow https pages" and korvane-cli's --allow-https set it; it takes effect from the next
    // fetch.
    bool AllowHttps() const { return stHTTP->AllowHttps(); }
    void setAllowHttps(bool Allow) { stHTTP->setAllowHttps(Allow); }
    // A CA file trusted for https besides the system's; empty for none.
    QString TrustedCaFile() const { return stHTTP->ExtraCaFile(); }
    void setTrustedCaFile(const QString &Path) { stHTTP->setExtraCaFile(Path); }

    void ClearAccumalatedResults();
    // A result measured beside this object (a session's direction) counts towards the
    // same average as its own tests.
    void AccumulateResult(double TransferRate);
    void RestoreAccumulatedResults(int AccumulatedTestCount, double AccumulatedAverageSpeed);
    TKorvaneResultStatus CalculateKorvaneStatus(double TransferRate) const;

    int64_t BytesTransferred() const { return int64_t(FBytesTransferred); }
    double KBytesTransferred() const;
    double TransferTimeMs() const;
    double TransferTimeSec() const;
    double TransferRateSec() const;
    bool ValidResult() const { return FValidResult; }
    // Which address families the server stream test may connect over; automatic races both.
    TIpVersion IpVersion() const { return stSocket->IpVersion(); }
    void setIpVersion(TIpVersion version);
    // Numeric address, family ("ipv4", "ipv6") and port the last test connected to; empty
    // (0) when it made no connection.
    QString ConnectedAddress() const;
    QString ConnectedFamily() const;
    int ConnectedPort() const;
    // "Connected to ADDR port N.", logged after the test's own lines; empty without a
    // connection, or where the log already names the address (a numeric target).
    QString ConnectedLine() const;
    bool TestDone() const { return FTestDone; }
    bool TestCancelled() const { return FTestCancelled; }
    int AccumulatedTestCount() const { return FAccumulatedTestCount; }
    double AccumulatedAverageSpeed() const;
    TKorvaneResultStatus KorvaneResultStatus() const { return CalculateKorvaneStatus(TransferRateSec()); }
    // Days since 30 December 1899, local time; -1.0 while a running test has not received yet.
    double StartTime() const { return FStartTime; }

    const TStatusMsgEvent &OnStatusMsg() const { return FOnStatusMsg; }
    void setOnStatusMsg(TStatusMsgEvent handler) { FOnStatusMsg = std::move(handler); }

    // Called every ProgressInterval milliseconds from the timer's start to the test's end,
    // through the event loop, never from inside the receive path.
    const TProgressEvent &OnProgress() const { return FOnProgress; }
    void setOnProgress(TProgressEvent handler) { FOnProgress = std::move(handler); }
    static constexpr int DefaultProgressInterval = 250;
    // Called once TestDone turns true, whichever way the test ended; a handler that wants to
    // act on the result queues its work, as an exception may still be on its way out.
    void setOnTestDone(std::function<void()> handler) { FOnTestDone = std::move(handler); }
    int ProgressInterval() const { return FProgressInterval; }
    // 0 or less: no progress reports. Takes effect from the next test's timer start.
    void setProgressInterval(int Milliseconds) { FProgressInterval = Milliseconds; }

private:
    void DoStatusMsg(const QString &text);
    void StartServerStreamTest(const QString &Host, int Port);
    void RunWebPageTest();
    void AccumulateTestResult();
    void MarkTestDone();
    void StopTimerAfterFailure() noexcept;

    void SocketConnecting(TClientSocket &Socket);
    void SocketRead(TClientSocket &Socket);
    void SocketDisconnect(TClientSocket &Socket);
    void SocketError(TClientSocket &Socket, TErrorEvent ErrorEvent, int &ErrorCode);

    void HTTPStatus(QObject *ASender, THttpStatus AStatus, const QString &AStatusText);
    void HTTPRedirect(QObject *Sender, QString &dest, int &NumRedirect, bool &Handled, QString &VMethod);
    void DisconnectAfterFailedFetch() noexcept;

    void StartProgress();
    void StopProgress() noexcept;
    void ReportProgress();

    uint64_t FBytesTransferred = 0;
    int64_t FTransferTime = 0;
    QString FTarget;
    bool FValidResult = false;
    TStatusMsgEvent FOnStatusMsg;
    bool FTestDone = false;
    bool FTestCancelled = false;
    bool FTestRunning = false; // between DoTest and the end of the test
    int FAccumulatedTestCount = 0;
    int FLastTestType = ttServerStream;
    double FAccumulatedAverageSpeed = 0.0; // the running sum of rates, not an average
    double FStartTime = 0.0;
    std::vector<char> FReceiveBuffer; // reused; received data is counted, never kept

    TProgressEvent FOnProgress;
    std::function<void()> FOnTestDone;
    int FProgressInterval = DefaultProgressInterval;
    bool FWebTest = false;
    std::unique_ptr<QTimer> FProgressTimer;
    int64_t FProgressBytes = 0; // at the previous report
    int64_t FProgressUs = 0;
};
