#pragma once

#include <cstdint>
#include <string>
#include <sys/socket.h>

// A non-blocking listening TCP socket on a numeric address. An IPv6 socket takes IPv4 clients
// too (as IPv4-mapped addresses), whatever the system's default, so "::" serves both families.
// Returns the descriptor, or -1 with the errno value in error and a text a person can act on
// in message.
int openListenSocket(const std::string &address, uint16_t port, int backlog, int &error, std::string &message);

// False where the kernel has no IPv6 at all, so "::" cannot be the default.
bool ipv6Available();

// A numeric address as people read it: an IPv4-mapped IPv6 address as its IPv4 address, so
// one client is the same client over either family; with the port, IPv6 in brackets.
std::string addressText(const sockaddr *addr, socklen_t len, bool withPort);

// An address given on the command line as it goes into messages: IPv6 in brackets.
std::string bracketedAddress(const std::string &address);

// The address a socket is bound to, or its peer's, as ADDR:PORT.
std::string socketAddressText(int fd, bool peer = false);

// The address a listening socket serves, as ADDR:PORT, followed by " (IPv4 and IPv6)" when it
// is the IPv6 wildcard and takes IPv4 clients too.
std::string listeningText(int fd);
