#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Which address families a connection may use.
enum class TIpVersion { Automatic, IPv4Only, IPv6Only };

struct TResolvedAddress
{
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

// Fills the addresses of a host for one family (AF_UNSPEC, AF_INET or AF_INET6) in preference
// order; returns 0 or a getaddrinfo code (savedErrno holds errno for EAI_SYSTEM).
using TResolver = std::function<int(const std::string &host, int family,
                                    std::vector<TResolvedAddress> &addresses, int &savedErrno)>;

struct TConnectOptions
{
    TIpVersion Version = TIpVersion::Automatic;
    // Limit for the connection race after the lookup; negative means none.
    int TimeoutMs = -1;
    // Readable means cancelled; -1 for none. The lookup itself cannot be interrupted.
    int CancelFd = -1;
    // Delay before the next address is tried while earlier attempts are still pending.
    int AttemptDelayMs = 250;
    // Empty means the system resolver.
    TResolver Resolver;
    // Called on each socket before its connect (buffer sizes must be set then); false fails
    // that attempt with errno.
    std::function<bool(int fd)> Prepare;
};

struct TConnectResult
{
    enum class TStage { Done, Lookup, Socket, Connect, Timeout, Cancelled };

    TStage Stage = TStage::Done;
    // Connected, non-blocking and close-on-exec; owned by the caller. -1 on failure.
    int Socket = -1;
    TResolvedAddress Peer; // the address connected to
    std::string AddressText; // numeric, without brackets
    int Family = 0; // AF_INET or AF_INET6
    // On failure: a getaddrinfo code for Lookup, else an errno value; with several addresses
    // the error of the attempt that failed last.
    int ErrorCode = 0;
    int SavedErrno = 0; // errno of an EAI_SYSTEM lookup failure
    int Attempts = 0; // addresses tried

    bool Ok() const { return Stage == TStage::Done; }
};

// Resolves every address of host and connects to port, racing the addresses: IPv6 first, the
// families interleaved, the next attempt started after AttemptDelayMs without waiting for the
// earlier ones to fail, the first to connect wins and the rest are closed. Blocks: meant for a
// worker thread.
TConnectResult TcpConnect(const std::string &host, uint16_t port, const TConnectOptions &options);

// The race alone, over addresses already resolved and given their port, in the order given.
TConnectResult TcpConnectAddresses(const std::vector<TResolvedAddress> &addresses,
                                   const TConnectOptions &options);

// IPv6 first, then the families alternate; the order within a family is kept, duplicates dropped.
std::vector<TResolvedAddress> RaceOrder(const std::vector<TResolvedAddress> &addresses);

int SystemResolve(const std::string &host, int family, std::vector<TResolvedAddress> &addresses,
                  int &savedErrno);

int FamilyOf(TIpVersion version); // AF_UNSPEC, AF_INET or AF_INET6
std::string NumericAddress(const TResolvedAddress &address);
const char *FamilyName(int family); // "ipv4", "ipv6" or ""
void SetPort(TResolvedAddress &address, uint16_t port);
