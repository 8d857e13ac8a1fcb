#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A property that must hold for every input. A broken one aborts, so libFuzzer keeps the
// input as a finding and the corpus replay fails on it.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__,       \
                         #condition);                                                      \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
