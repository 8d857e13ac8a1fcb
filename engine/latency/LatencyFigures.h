#pragma once

#include <QString>

#include <vector>

// The figures of one test's latency probes, worked out from the probe times alone.
struct LatencyFigures
{
    int IdleCount = 0;
    int LoadedCount = 0;
    int Lost = 0;              // probes that got no answer in time (counted at the timeout)
    double IdleMs = -1;        // median; -1 when there were no idle probes
    double LoadedMs = -1;      // median of the loaded probes
    double LoadedP90Ms = -1;   // 90th percentile of the loaded probes
    double IncreaseMs = -1;    // loaded median minus idle median, never below 0
    double Rpm = -1;           // round trips per minute under load
    double RpmP90 = -1;        // the same at the 90th percentile of the round trips (lower)
    QString RpmRating;         // Poor, Fair, Good or Excellent; empty without an RPM
    QString Grade;             // A+ .. F on the increase; empty without both idle and loaded

    // Fewer answered probes of a kind than this give no figure from that kind. A median of one
    // or two connects is a single scheduling hiccup, not a latency: a 6 ms page with one loaded
    // probe got "A+" and 20000000 RPM. Five is the fewest whose median survives two outliers.
    static constexpr int MinimumProbes = 5;

    bool Valid() const { return !Grade.isEmpty(); }
    // Some figure is missing because too few probes were answered (rather than none asked for).
    bool ShortOfProbes() const { return IdleMs < 0 || LoadedMs < 0 || Rpm < 0; }

    // Foreign probes are new connections (connect time); self probes ride the loaded session
    // (echo round trips and the sender's smoothed rtt). Self may be empty (a web page).
    static LatencyFigures compute(const std::vector<double> &idleMs, const std::vector<double> &loadedForeignMs,
                                  const std::vector<double> &loadedSelfMs, int lost);

    // Pure helpers, in milliseconds.
    static double median(std::vector<double> values);
    // Nearest rank: the smallest value with at least P % of the values at or below it.
    static double percentile(std::vector<double> values, double p);
    // The mean of the values at or below the P-th percentile (the top is dropped).
    static double trimmedMean(std::vector<double> values, double p);
    // Round trips per minute: the mean of 60000 over the foreign probes' trimmed mean and
    // 60000 over the self probes' (draft-ietf-ippm-responsiveness-04 to -06, TMP 95 %);
    // with only one kind, that kind alone. -1 without any.
    static double rpm(const std::vector<double> &foreignMs, const std::vector<double> &selfMs);
    // The same with each kind's 90th percentile in place of its trimmed mean: the
    // responsiveness nine probes in ten reached.
    static double rpmP90(const std::vector<double> &foreignMs, const std::vector<double> &selfMs);
    // The bands of draft-ietf-ippm-responsiveness from -06: Poor below 300, Fair from 300,
    // Good from 1000, Excellent above 6000.
    static QString rpmRating(double rpm);
    static QString grade(double increaseMs);
};
