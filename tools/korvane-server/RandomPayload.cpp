#include "tools/korvane-server/RandomPayload.h"

#include <cstring>
#include <random>
#include <sys/random.h>

RandomPayload::RandomPayload()
    : FBytes(new char[2 * Size])
{
    size_t filled = 0;
    while (filled < Size) {
        const ssize_t n = getrandom(FBytes.get() + filled, Size - filled, 0);
        if (n <= 0)
            break;
        filled += size_t(n);
    }
    if (filled < Size) {
        // No kernel randomness: a seeded generator is still incompressible.
        std::mt19937_64 generator(std::random_device{}());
        for (size_t i = filled; i < Size; ++i)
            FBytes[i] = char(generator());
    }
    std::memcpy(FBytes.get() + Size, FBytes.get(), Size);
}
