#include "tools/korvane-cli/CliJsonLines.h"

#include "engine/DateTimeSerial.h"
#include "engine/latency/LatencyReport.h"
#include "engine/run/ResultLines.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace {

QJsonValue nullWhenEmpty(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue startTime(double serial)
{
    if (serial < 0)
        return QJsonValue::Null;
    const QDateTime start = DateTimeSerial::toDateTime(serial);
    return start.toOffsetFromUtc(start.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonObject tcpJson(const TSessionTcpFigures &t)
{
    QJsonObject o;
    o.insert(QStringLiteral("rtt_us"), qint64(t.RttUs));
    o.insert(QStringLiteral("min_rtt_us"), qint64(t.MinRttUs));
    o.insert(QStringLiteral("retransmits"), qint64(t.Retransmits));
    o.insert(QStringLiteral("cwnd_bytes"), qint64(t.CwndBytes));
    o.insert(QStringLiteral("delivery_rate_bps"), qint64(t.DeliveryRateBps));
    o.insert(QStringLiteral("busy_us"), qint64(t.BusyUs));
    o.insert(QStringLiteral("rwnd_limited_us"), qint64(t.RwndLimitedUs));
    o.insert(QStringLiteral("sndbuf_limited_us"), qint64(t.SndbufLimitedUs));
    return o;
}

QJsonValue shareJson(double share)
{
    return share < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(share);
}

// The figures the verdict was decided on, beside the sender's own.
void insertVerdictFigures(QJsonObject &tcp, const TVerdict &v)
{
    tcp.insert(QStringLiteral("rwnd_limited_share"), shareJson(v.RwndShare));
    tcp.insert(QStringLiteral("sndbuf_limited_share"), shareJson(v.SndbufShare));
    tcp.insert(QStringLiteral("busy_share"), shareJson(v.BusyShare));
    tcp.insert(QStringLiteral("retransmit_share"), shareJson(v.RetransmitShare));
    tcp.insert(QStringLiteral("client_cpu_share"), shareJson(v.ClientCpuShare));
    tcp.insert(QStringLiteral("loaded_rtt_us"), qint64(v.RttUs));
    tcp.insert(QStringLiteral("queue_delay_us"),
               v.QueueDelayUs < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(qint64(v.QueueDelayUs)));
    tcp.insert(QStringLiteral("window_bytes"), qint64(v.WindowBytes));
    tcp.insert(QStringLiteral("window_rate_bps"), std::round(v.WindowRateBps));
    tcp.insert(QStringLiteral("needed_window_bytes"), qint64(v.NeededWindowBytes));
    tcp.insert(QStringLiteral("bottleneck_rate_bps"), v.Limit == TLimit::Path ? std::round(v.RateBps) : 0.0);
}

// What every result line has, whatever the kind of test.
QJsonObject commonFields(const TTestOutcome &outcome, const TDirectionOutcome &result, const QString &mode)
{
    QJsonObject o;
    o.insert(QStringLiteral("target"), outcome.Plan.Target);
    o.insert(QStringLiteral("mode"), mode);
    o.insert(QStringLiteral("direction"), ResultLines::DirectionName(result.Direction));
    o.insert(QStringLiteral("streams"), result.Streams);
    o.insert(QStringLiteral("valid"), result.Valid);
    o.insert(QStringLiteral("bytes"), qint64(result.Bytes));
    o.insert(QStringLiteral("duration_ms"), result.DurationMs);
    o.insert(QStringLiteral("rate_kbps"), result.Rate);
    o.insert(QStringLiteral("start_time"), startTime(result.StartTime));
    o.insert(QStringLiteral("accumulated_count"), result.AccumulatedCount);
    o.insert(QStringLiteral("accumulated_average_kbps"), result.AccumulatedAverage);
    o.insert(QStringLiteral("log"), QJsonArray::fromStringList(result.StatusTexts));
    o.insert(QStringLiteral("address"), nullWhenEmpty(result.Address));
    o.insert(QStringLiteral("family"), nullWhenEmpty(result.Family));
    if (result.LatencyMeasured)
        LatencyReport::addJson(o, result.Latency, result.ProbeBytes);
    // Only with --plan, so lines of tests without one stay as they were.
    if (outcome.Plan.RatePlan.IsSet()) {
        o.insert(QStringLiteral("plan_bps"), result.PlanBps > 0 ? QJsonValue(qint64(std::llround(result.PlanBps)))
                                                                : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("plan_share"), shareJson(result.PlanShare));
    }
    return o;
}

} // namespace

CliJsonLines::CliJsonLines(FILE *out) : FOut(out) {}

void CliJsonLines::Write(const QJsonObject &line)
{
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
    std::fwrite(text.constData(), 1, size_t(text.size()), FOut);
    std::fputc('\n', FOut);
    std::fflush(FOut);
}

void CliJsonLines::DirectionDone(const TTestOutcome &outcome, const TDirectionOutcome &direction)
{
    Write(outcome.Plan.IsSession() ? SessionResult(outcome, direction) : PlainResult(outcome, direction));
}

QJsonObject CliJsonLines::PlainResult(const TTestOutcome &outcome, const TDirectionOutcome &result) const
{
    const bool web = outcome.Plan.Kind == TTestKind::WebPage;
    QJsonObject o = commonFields(outcome, result, web ? QStringLiteral("web") : QStringLiteral("server"));
    o.insert(QStringLiteral("error"), nullWhenEmpty(outcome.Error));
    // Only when the page's connection was encrypted, so the line of a plain test stays as it was.
    if (const auto &tls = result.Tls; web && tls) {
        QJsonObject t;
        t.insert(QStringLiteral("protocol"), tls->Protocol);
        t.insert(QStringLiteral("cipher"), tls->Cipher);
        t.insert(QStringLiteral("handshake_ms"), tls->HandshakeMs);
        o.insert(QStringLiteral("tls"), t);
    }
    // No verdict here: deciding needs the sender's figures, which a one-stream test never
    // gets (the server keeps them, a web server has none to give). Said, not guessed.
    o.insert(QStringLiteral("limited_by"), TVerdict::LimitName(TLimit::Unknown));
    o.insert(QStringLiteral("limit_text"),
             !result.Valid ? QStringLiteral("What limited the transfer is not known: the test has no valid result.")
             : web ? QStringLiteral("What limited the transfer is not known: a web page test has no view of "
                                    "the sender's TCP figures, which decide it.")
                   : QStringLiteral("What limited the transfer is not known: a one-stream test without a "
                                    "session has no view of the sender's TCP figures, which decide it."));
    o.insert(QStringLiteral("limit_advice"), QJsonValue::Null);
    return o;
}

QJsonObject CliJsonLines::SessionResult(const TTestOutcome &outcome, const TDirectionOutcome &result) const
{
    const TSessionResult session = result.Session.value_or(TSessionResult());
    QJsonObject o = commonFields(outcome, result, QStringLiteral("session"));
    o.insert(QStringLiteral("error"), result.Valid ? QJsonValue(QJsonValue::Null) : nullWhenEmpty(result.Error));
    QJsonObject tcp = tcpJson(session.Tcp);
    if (result.Valid)
        insertVerdictFigures(tcp, session.Verdict);
    o.insert(QStringLiteral("tcp"), tcp);
    o.insert(QStringLiteral("limited_by"), TVerdict::LimitName(result.Valid ? session.Verdict.Limit : TLimit::Unknown));
    o.insert(QStringLiteral("limit_text"),
             result.Valid ? session.Verdict.Text
                          : QStringLiteral("What limited the transfer is not known: the test has no valid result."));
    o.insert(QStringLiteral("limit_advice"), nullWhenEmpty(result.Valid ? ResultLines::LimitAdvice(session) : QString()));
    o.insert(QStringLiteral("server_bytes"), qint64(session.ServerBytes));
    o.insert(QStringLiteral("server_duration_ms"), double(session.ServerDurationUs) / 1000.0);
    QJsonArray perStream;
    for (const TSessionStreamFigures &f : session.PerStream) {
        QJsonObject s;
        s.insert(QStringLiteral("stream"), f.Stream);
        s.insert(QStringLiteral("bytes"), qint64(f.Bytes));
        s.insert(QStringLiteral("duration_ms"), double(f.DurationUs) / 1000.0);
        s.insert(QStringLiteral("rate_kbps"), f.Rate);
        s.insert(QStringLiteral("tcp"), tcpJson(f.Tcp));
        perStream.append(s);
    }
    o.insert(QStringLiteral("per_stream"), perStream);
    return o;
}

void CliJsonLines::IntervalReport(const Interval &interval)
{
    const TRunProgress &now = *interval.Now;
    QJsonObject o;
    o.insert(QStringLiteral("type"), QStringLiteral("interval"));
    o.insert(QStringLiteral("target"), interval.Target);
    o.insert(QStringLiteral("seconds"), interval.Seconds);
    o.insert(QStringLiteral("interval_bytes"), qint64(interval.Bytes));
    o.insert(QStringLiteral("bytes"), qint64(now.Figures.BytesSoFar));
    o.insert(QStringLiteral("rate_kbps"), interval.Rate);
    if (interval.Latency)
        o.insert(QStringLiteral("latency_ms"),
                 interval.LatencyMs >= 0 ? QJsonValue(interval.LatencyMs) : QJsonValue(QJsonValue::Null));
    if (!now.Session) {
        if (now.Figures.ExpectedBytes >= 0)
            o.insert(QStringLiteral("expected_bytes"), qint64(now.Figures.ExpectedBytes));
        Write(o);
        return;
    }
    const TSessionProgress &progress = *now.Session;
    const TSessionProgress from = interval.From->Session.value_or(TSessionProgress());
    o.insert(QStringLiteral("direction"), ResultLines::DirectionName(progress.Direction));
    o.insert(QStringLiteral("streams"), int(progress.Streams.size()));
    // The interval's retransmits; the other figures are the server's latest.
    QJsonObject tcp = tcpJson(progress.Tcp);
    tcp.insert(QStringLiteral("retransmits"), qint64(interval.Retransmits));
    o.insert(QStringLiteral("tcp"), tcp);
    QJsonArray perStream;
    for (size_t i = 0; i < progress.Streams.size(); ++i) {
        const TSessionStreamFigures &f = progress.Streams[i];
        const bool known = i < from.Streams.size();
        const int64_t streamBytes = f.Bytes - (known ? from.Streams[i].Bytes : 0);
        QJsonObject s;
        s.insert(QStringLiteral("stream"), f.Stream);
        s.insert(QStringLiteral("interval_bytes"), qint64(streamBytes));
        s.insert(QStringLiteral("bytes"), qint64(f.Bytes));
        s.insert(QStringLiteral("rate_kbps"),
                 interval.Us > 0 ? double((long double)streamBytes / 1024 / interval.Us * 1000000) : 0.0);
        QJsonObject st = tcpJson(f.Tcp);
        st.insert(QStringLiteral("retransmits"),
                  qint64(std::max<int64_t>(0, f.Tcp.Retransmits - (known ? from.Streams[i].Tcp.Retransmits : 0))));
        s.insert(QStringLiteral("tcp"), st);
        perStream.append(s);
    }
    o.insert(QStringLiteral("per_stream"), perStream);
    Write(o);
}
