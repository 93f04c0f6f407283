#pragma once
// The thin layer between the socket classes and the system's socket calls:
// name, service and protocol look-ups, and the socket layer's error number.
// It decides nothing; the failure tests and messages are in the classes.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>
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

// An address the host word is by itself: dotted IPv4, or IPv6 bare ("::1")
// or in brackets as URLs write it ("[2001:db8::1]"); false for a name, which
// must be resolved.
bool NumericAddress(const std::string& host, std::uint16_t portNet, SocketAddress& out);

// The host without the brackets of an IPv6 literal ("[::1]" gives "::1"),
// for what wants the address itself (a TLS certificate's IP entries);
// anything else as it is.
std::string BareHost(const std::string& host);

// "host:port" for logs and messages; a bare IPv6 literal is put in brackets
// ("[::1]:110"), so that its last colon is not taken for the port's.
std::string HostPortText(const std::string& host, const std::string& port);

// Replaces the resolver behind THostLookup (tests: a name with several
// addresses, a resolver that hangs); an empty function restores
// getaddrinfo. A resolver fills out with every address of the host and
// returns 0, or returns its non-zero error code.
using HostResolver = std::function<int(const std::string& host, std::uint16_t portNet,
                                       std::vector<SocketAddress>& out)>;
void SetHostResolver(HostResolver resolver);

// Every address of a host name, IPv4 and IPv6, in the resolver's order,
// looked up in a thread of its own, so that the wait for it can have a
// deadline and hear the abort check: the system's resolver cannot be
// interrupted, and one that never answers must not hold the job. A look-up
// dropped before it ended goes on in its thread, which then frees what it
// found. At most kMaxLookupThreads such threads run at a time; a look-up
// beyond them fails at once with EAI_AGAIN, so that a resolver that hangs
// cannot gather threads without end. The threads never hold the process:
// it ends without waiting for them.
constexpr int kMaxLookupThreads = 4;
class THostLookup {
  public:
    THostLookup(const std::string& host, std::uint16_t portNet);
    ~THostLookup();
    THostLookup(const THostLookup&) = delete;
    THostLookup& operator=(const THostLookup&) = delete;

    // Becomes readable (poll) when the look-up has ended.
    int Fd() const;
    bool Done() const;
    // Once Done: 0 or the resolver's non-zero code, the addresses in out.
    int Result(std::vector<SocketAddress>& out);

  private:
    struct State;
    std::shared_ptr<State> state_;
    // Joined once the look-up has ended, so that the C library has freed
    // the thread's resolver state before the program may end; left to run
    // out on its own when the job gave up waiting for it.
    std::thread thread_;
};

// The addresses in the order RFC 8305 section 4 asks for: the first one's
// family first, then the two families taking turns, each family's
// addresses in the resolver's order. A name whose first family does not
// answer then costs one stagger step, not one per address of that family.
std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses);

// Dotted (or IPv6) text of an address.
std::string AddressText(const sockaddr* addr);

// Host name of an address, or "" when the look-up fails (err then holds the
// resolver's code).
std::string HostNameOf(const sockaddr* addr, socklen_t len, int& err);

} // namespace brix
