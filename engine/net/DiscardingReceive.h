#pragma once

#include <cstdint>
#include <sys/types.h>

// A tester only counts what it receives: where the kernel allows it, received TCP data is
// dropped in the kernel (recv with MSG_TRUNC) instead of being copied out. Where the kernel
// refuses that, the data is read into scratch as before, and later calls read straight away.
// Returns what recv returns: the bytes taken (up to count), 0 at the peer's close, -1 with
// errno set. scratch must hold count bytes either way.
ssize_t ReceiveDiscarding(int fd, void *scratch, size_t count, int flags = 0);

// As ReceiveDiscarding, on a socket with SO_TIMESTAMPNS: arrivalNs gets the kernel's
// arrival time (CLOCK_REALTIME nanoseconds) of the last segment taken, or -1 when the kernel
// gave none.
ssize_t ReceiveDiscardingStamped(int fd, void *scratch, size_t count, int flags, int64_t &arrivalNs);

// False once the kernel has refused to drop data (the fallback is in use); for tests.
bool ReceiveDiscardingInKernel();
// Makes every later call read into scratch, as after a refusal; for tests and benchmarks.
void setReceiveDiscardingInKernel(bool enabled);
