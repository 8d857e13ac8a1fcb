#pragma once

#include <cstdint>

// Where a session stands. TSessionTest changes it in one place only, and only along
// SessionPhaseChangeAllowed.
enum class SessionPhase : uint8_t {
    Idle,       // nothing started yet
    Connecting, // the control connection is being made
    Hello,      // connected; the server's greeting is due
    Requested,  // the request is out; its acceptance is due
    Joining,    // accepted: the data connections join; between directions, the next start or the end is due
    Running,    // a direction runs
    Draining,   // the server's summary of the direction is in; its last data and closes are still read
    Ended,      // finished, failed or cancelled
};

bool SessionPhaseChangeAllowed(SessionPhase from, SessionPhase to);
// From Connecting to Draining: the session holds connections and will end with Finished.
bool SessionPhaseLive(SessionPhase phase);
// Running or Draining: a direction's start has been read and its result not yet made.
bool SessionPhaseDirectionRuns(SessionPhase phase);
const char *SessionPhaseName(SessionPhase phase);
