#pragma once
// The thin layer between the socket classes and the system's socket calls:
// name, service and protocol look-ups, and the socket layer's error number.
// It decides nothing; the failure tests and messages are in the classes.

#include <cstdint>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace brix {

// The socket layer's error number of the calling thread: errno of the last
// adapter call that failed, 0 after one that succeeded.
int WSAGetLastError() noexcept;
void WSASetLastError(int err) noexcept;

// Start-up and clean-up of the socket layer. POSIX sockets need neither;
// they are kept so that the program's start and end read the same on every
// platform. SIGPIPE is ignored by the program itself, and every send passes
// MSG_NOSIGNAL as well.
void SocketStartup() noexcept;
void SocketCleanup() noexcept;

// Port (host byte order) of a service name for a protocol, or -1 when the
// services database does not know it. pop3, smtp and nntp are built in for
// tcp, since a minimal system may lack /etc/services.
int LookupService(const std::string& name, const std::string& proto);

// Protocol number of a protocol name; TCP when the database is missing.
int LookupProtocol(const std::string& name);

// A resolved address, ready for connect().
struct SocketAddress {
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family = 0;
};

// Dotted IPv4 text to an address with the given port (network byte order);
// false when the text is not a dotted address.
bool DottedAddress(const std::string& host, std::uint16_t portNet, SocketAddress& out);

// Every address of a host name, IPv4 and IPv6, in the resolver's order.
// Returns 0 or the resolver's non-zero error code.
int ResolveHost(const std::string& host, std::uint16_t portNet, std::vector<SocketAddress>& out);

// Replaces the resolver behind ResolveHost (tests: a name with several
// addresses); an empty function restores getaddrinfo.
using HostResolver = std::function<int(const std::string& host, std::uint16_t portNet,
                                       std::vector<SocketAddress>& out)>;
void SetHostResolver(HostResolver resolver);

// Dotted (or IPv6) text of an address.
std::string AddressText(const sockaddr* addr);

// Host name of an address, or "" when the look-up fails (err then holds the
// resolver's code).
std::string HostNameOf(const sockaddr* addr, socklen_t len, int& err);

} // namespace brix
