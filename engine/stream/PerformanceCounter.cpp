#include "engine/stream/PerformanceCounter.h"

#include "engine/KorvaneException.h"
#include "engine/SystemErrorText.h"

#include <cerrno>
#include <ctime>

namespace {

class MonotonicCounter final : public PerformanceCounter
{
public:
    int64_t Frequency() override { return 1000000000; }

    int64_t Read() override
    {
        timespec ts{};
        if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
            const int err = errno;
            throw Exception(QStringLiteral("System Error.  Code: %1.\n%2").arg(err).arg(SystemErrorText(err)));
        }
        // Offset by one so that a valid reading is never 0, which means "not running".
        return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec + 1;
    }
};

} // namespace

PerformanceCounter &PerformanceCounter::system()
{
    static MonotonicCounter counter;
    return counter;
}
