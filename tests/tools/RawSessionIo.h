#pragma once

#include "protocol/SessionMessage.h"

#include <cstdint>
#include <string>
#include <string_view>

// Blocking reads and writes on a session's sockets, for tests that speak the protocol
// themselves instead of through the client.
namespace RawSessionIo {

// The monotonic clock in ns, the one the deadlines below use.
int64_t monoNs();
bool sendAll(int fd, std::string_view bytes);
// One line, never read past its newline, so what follows stays in the socket.
bool readLine(int fd, std::string &line, int timeoutMs = 15000);
bool readMessage(int fd, SessionMessage &message, int timeoutMs = 15000);
// Everything until the peer's end of stream: the bytes, or -1 when the connection was reset
// or nothing came in time.
int64_t drain(int fd, int timeoutMs = 15000);

} // namespace RawSessionIo
