#pragma once

#include <chrono>
#include <cstdint>

// The steady clock a session is timed with, in microseconds.
inline int64_t SessionNowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
