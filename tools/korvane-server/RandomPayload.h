#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Incompressible bytes for the session streams, drawn once at start: a link that
// compresses cannot make a test look faster than it is. Any run of up to Size bytes
// from an offset below Size is contiguous, so a stream sends in rotation without copying.
class RandomPayload
{
public:
    static constexpr size_t Size = 1 << 20;

    RandomPayload();
    // Bytes from position (taken modulo Size); at most Size of them may be read.
    const char *at(uint64_t position) const { return FBytes.get() + position % Size; }

private:
    std::unique_ptr<char[]> FBytes;
};
