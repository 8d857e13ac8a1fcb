#include "engine/session/SessionPhase.h"

bool SessionPhaseChangeAllowed(SessionPhase from, SessionPhase to)
{
    using P = SessionPhase;
    // A live session may end at any point: it failed, was cancelled, or a new one replaces it.
    if (to == P::Ended)
        return SessionPhaseLive(from);
    switch (from) {
    case P::Idle:
    case P::Ended:
        return to == P::Connecting;
    case P::Connecting:
        // Idle: the connect could not even be started, so the session never began.
        return to == P::Hello || to == P::Idle;
    case P::Hello:
        return to == P::Requested;
    case P::Requested:
        return to == P::Joining;
    case P::Joining:
        return to == P::Running;
    case P::Running:
        // A second start of the running direction starts its figures over.
        return to == P::Draining || to == P::Running;
    case P::Draining:
        return to == P::Joining;
    }
    return false;
}

bool SessionPhaseLive(SessionPhase phase)
{
    return phase != SessionPhase::Idle && phase != SessionPhase::Ended;
}

bool SessionPhaseDirectionRuns(SessionPhase phase)
{
    return phase == SessionPhase::Running || phase == SessionPhase::Draining;
}

const char *SessionPhaseName(SessionPhase phase)
{
    static const char *names[] = {"Idle", "Connecting", "Hello", "Requested", "Joining", "Running", "Draining", "Ended"};
    return names[static_cast<int>(phase)];
}
