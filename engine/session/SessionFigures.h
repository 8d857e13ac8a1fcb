#pragma once

#include "protocol/SessionMessage.h"
#include "engine/session/TSessionTest.h"

#include <QString>

#include <cstdint>
#include <vector>

struct SessionStream;
class SessionDataStreams;

// A running direction's figures: its timing, the server's reports and summary, progress
// samples, and its result with the verdict.
class SessionFigures
{
public:
    // The direction starts: its figures start over. earlyFirstUs: the earliest payload of
    // the direction seen before its start, -1 when none.
    void beginDirection(TSessionDirection direction, int64_t earlyFirstUs);
    TSessionDirection direction() const { return direction_; }

    // A download's payload, first seen at seenUs; the first one starts the direction's timer.
    // True when it was the first.
    bool downloadPayload(int64_t seenUs, int64_t nowUs);
    void uploadStarted();
    double startTime() const { return startTime_; }

    // The server's figures, taken into the direction's streams.
    void takeReport(const SessionReport &report, SessionDataStreams &streams);
    void takeSummary(const SessionSummary &summary) { summary_ = summary; }
    const SessionSummary &summary() const { return summary_; }

    // Progress samples start from zero.
    void restartProgress();
    // The next sample; false when the server has nothing new yet.
    bool sampleProgress(const std::vector<SessionStream> &streams, TSessionProgress &progress);

    // The direction's result once every figure is in: the summary is taken into the streams
    // first. lastUs: the download's last close, -1 for an upload.
    TSessionResult result(SessionDataStreams &streams, int64_t lastUs, const TSessionRequest &request,
                          const QString &family);

private:
    TVerdictInput verdictInput(const std::vector<SessionStream> &streams, const TSessionResult &r,
                               const TSessionRequest &request) const;

    TSessionDirection direction_ = TSessionDirection::Download;
    SessionSummary summary_;
    int64_t firstByteUs_ = -1;
    int64_t earlyFirstUs_ = -1;
    double startTime_ = -1.0;
    int64_t serverElapsedUs_ = 0;
    int64_t progressBytes_ = 0;
    int64_t progressUs_ = 0;
    int64_t progressRetransmits_ = 0;
    int64_t cpuStartUs_ = -1;
    int64_t cpuWallStartUs_ = 0;
    std::vector<int64_t> senderRttSamples_; // the sender's smoothed round trip, one per report
    std::vector<int64_t> retransmitSamples_; // the sender's retransmits so far, one per report
    int rateSamples_ = 0;       // streams' figures in reports that carried a delivery rate
    int appLimitedSamples_ = 0; // of those, the ones whose sender had nothing queued
};
