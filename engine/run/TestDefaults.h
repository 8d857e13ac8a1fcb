#pragma once

// The defaults and limits of a test, written once for every front end and the settings that
// keep a user's choices. Plain constants, so that any layer may include this.
namespace TestDefaults {

constexpr int SessionPort = 8082;
constexpr int Seconds = 10;
constexpr int MinSeconds = 1;
constexpr int MaxSeconds = 3600;
constexpr int MinStreams = 1;
constexpr int MaxStreams = 64;
constexpr int ProbeIntervalMs = 100;
constexpr int ProgressIntervalMs = 250;

} // namespace TestDefaults
