// The plain reader that receive costs are compared with: one TCP connection, every byte
// copied into a buffer and counted, until the server closes. With --discard it drops the
// data in the kernel instead (MSG_TRUNC), blocking, with nothing else around it: the least
// a receiver can cost.
//
//   bench-copying-reader [--discard] ADDRESS PORT   (IPv4 or IPv6, numeric)
//
// Prints the bytes received.

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    const bool discard = argc == 4 && std::strcmp(argv[1], "--discard") == 0;
    if (discard) {
        ++argv;
        --argc;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s [--discard] ADDRESS PORT\n", argv[0]);
        return 2;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *peer = nullptr;
    if (::getaddrinfo(argv[1], argv[2], &hints, &peer) != 0) {
        std::fprintf(stderr, "not a numeric address and port: %s %s\n", argv[1], argv[2]);
        return 2;
    }
    const int fd = ::socket(peer->ai_family, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, peer->ai_addr, peer->ai_addrlen) < 0) {
        std::perror("connect");
        return 1;
    }
    ::freeaddrinfo(peer);
    // The same chunk as the client's own receive path, so only the copy differs.
    std::vector<char> buffer(1 << 20);
    unsigned long long total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), discard ? MSG_TRUNC : 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::perror("recv");
            return 1;
        }
        if (n == 0)
            break;
        total += (unsigned long long)n;
    }
    ::close(fd);
    std::printf("%llu\n", total);
    return 0;
}
