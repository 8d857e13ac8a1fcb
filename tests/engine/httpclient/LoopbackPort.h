#pragma once

#include <cstdint>

// A port on 127.0.0.1 where nothing listens right now.
uint16_t unusedLoopbackPort();
