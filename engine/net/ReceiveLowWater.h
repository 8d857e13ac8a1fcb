#pragma once

#include <cstdint>

// A receiver that only counts what arrives gains nothing from waking for every segment. Once
// data flows, its socket's low-water mark (SO_RCVLOWAT) asks the kernel to wake it for about
// 10 ms of the rate so far, at most 256 KiB; the end of the stream wakes it whatever the mark.
namespace ReceiveLowWater {

constexpr int Max = 256 * 1024;
constexpr int64_t WakeUs = 10000;

// The mark for bytes received over spanUs; 1 (every byte) before anything can be said.
int Wanted(int64_t bytes, int64_t spanUs);
// Sets the mark on fd when wanted is off from current by half or more (not a call on every
// wakeup); returns the mark in force.
int Update(int fd, int current, int wanted);

} // namespace ReceiveLowWater
