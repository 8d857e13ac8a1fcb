#pragma once

#include <cstdint>
#include <string>

// A non-blocking listening TCP socket on a numeric address. Returns the descriptor, or -1
// with the errno value in error and a text a person can act on in message.
int openListenSocket(const std::string &address, uint16_t port, int backlog, int &error, std::string &message);

// The address a socket is bound to, or its peer's, as ADDR:PORT.
std::string socketAddressText(int fd, bool peer = false);
