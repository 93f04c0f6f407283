#include "net/socket_api.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace brix {

namespace {
thread_local int lastError = 0;

struct BuiltInService {
    const char* name;
    int port;
};
// RFC 1939, RFC 5321, RFC 3977 well-known ports.
constexpr BuiltInService kBuiltIn[] = {{"pop3", 110}, {"smtp", 25}, {"nntp", 119}};
} // namespace

int WSAGetLastError() noexcept {
    return lastError;
}
void WSASetLastError(int err) noexcept {
    lastError = err;
}

void SocketStartup() noexcept {}
void SocketCleanup() noexcept {}

int LookupService(const std::string& name, const std::string& proto) {
    if (name.empty()) return -1;
    servent entry{};
    servent* found = nullptr;
    char buf[4096];
    if (getservbyname_r(name.c_str(), proto.empty() ? nullptr : proto.c_str(), &entry, buf,
                        sizeof buf, &found) == 0 &&
        found)
        return ntohs(static_cast<std::uint16_t>(found->s_port));
    if (proto == "tcp")
        for (const auto& s : kBuiltIn)
            if (name == s.name) return s.port;
    return -1;
}

int LookupProtocol(const std::string& name) {
    protoent entry{};
    protoent* found = nullptr;
    char buf[1024];
    if (getprotobyname_r(name.c_str(), &entry, buf, sizeof buf, &found) == 0 && found)
        return found->p_proto;
    return IPPROTO_TCP;
}

bool DottedAddress(const std::string& host, std::uint16_t portNet, SocketAddress& out) {
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    auto* sin = reinterpret_cast<sockaddr_in*>(&out.addr);
    std::memset(&out.addr, 0, sizeof out.addr);
    sin->sin_family = AF_INET;
    sin->sin_port = portNet;
    sin->sin_addr = a;
    out.len = sizeof(sockaddr_in);
    out.family = AF_INET;
    return true;
}

namespace {
HostResolver& CustomResolver() {
    static HostResolver resolver;
    return resolver;
}

void SetPort(SocketAddress& a, std::uint16_t portNet) {
    if (a.family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&a.addr)->sin_port = portNet;
    else
        reinterpret_cast<sockaddr_in6*>(&a.addr)->sin6_port = portNet;
}

// getaddrinfo's answer (IPv4 and IPv6 only) with the port set.
int AddressesOf(const char* host, const addrinfo& hints, std::uint16_t portNet,
                std::vector<SocketAddress>& out) {
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &list);
    if (rc != 0) return rc;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress a;
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.len = ai->ai_addrlen;
        a.family = ai->ai_family;
        SetPort(a, portNet);
        out.push_back(a);
    }
    freeaddrinfo(list);
    return out.empty() ? EAI_NONAME : 0;
}

int SystemResolve(const std::string& host, std::uint16_t portNet, std::vector<SocketAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return AddressesOf(host.c_str(), hints, portNet, out);
}

// Look-up threads still running, waited for or dropped.
std::atomic<int> lookupThreads{0};
} // namespace

bool NumericAddress(const std::string& host, std::uint16_t portNet, SocketAddress& out) {
    if (DottedAddress(host, portNet, out)) return true;
    const std::string bare = BareHost(host);
    if (bare.find(':') == std::string::npos) return false;
    // getaddrinfo rather than inet_pton: it takes a zone ("fe80::1%eth0")
    // too, and with AI_NUMERICHOST it asks no one.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    std::vector<SocketAddress> found;
    if (AddressesOf(bare.c_str(), hints, portNet, found) != 0) return false;
    out = found.front();
    return true;
}

std::string BareHost(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

std::string HostPortText(const std::string& host, const std::string& port) {
    if (host.find(':') != std::string::npos && !host.starts_with('['))
        return "[" + host + "]:" + port;
    return host + ":" + port;
}

void SetHostResolver(HostResolver resolver) {
    CustomResolver() = std::move(resolver);
}

// Shared by the look-up's thread and its owner: whichever lets go last
// closes the descriptor.
struct THostLookup::State {
    int fd = -1;
    std::atomic<bool> done{false};
    int rc = EAI_AGAIN;
    std::vector<SocketAddress> addresses;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        if (fd >= 0) ::close(fd);
    }
    void Finish(int code) {
        rc = code;
        done.store(true, std::memory_order_release);
        const std::uint64_t one = 1;
        // One write cannot overflow the counter; Done() tells the rest.
        [[maybe_unused]] ssize_t n = fd >= 0 ? ::write(fd, &one, sizeof one) : 0;
    }
};

THostLookup::THostLookup(const std::string& host, std::uint16_t portNet)
    : state_(std::make_shared<State>()) {
    state_->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->fd < 0) {
        state_->Finish(EAI_SYSTEM);
        return;
    }
    if (lookupThreads.fetch_add(1) >= kMaxLookupThreads) {
        --lookupThreads;
        state_->Finish(EAI_AGAIN);
        return;
    }
    // Copied here: a test may replace the resolver while an earlier
    // look-up still runs.
    HostResolver resolver = CustomResolver() ? CustomResolver() : HostResolver(SystemResolve);
    auto run = [state = state_, host, portNet, resolver = std::move(resolver)] {
        int rc = EAI_FAIL;
        try {
            rc = resolver(host, portNet, state->addresses);
        } catch (...) {
            // A resolver that fails in a way of its own has found nothing.
            state->addresses.clear();
        }
        state->Finish(rc);
        --lookupThreads;
    };
    // The signals that stop a job are for the thread that waits: the
    // look-up's thread blocks them all from its start.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        thread_ = std::thread(std::move(run));
    } catch (const std::system_error&) {
        --lookupThreads;
        state_->Finish(EAI_AGAIN);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

THostLookup::~THostLookup() {
    if (!thread_.joinable()) return;
    // Done: the thread is on its way out and is waited for at once.
    if (Done())
        thread_.join();
    else
        thread_.detach();
}

int THostLookup::Fd() const {
    return state_->fd;
}

bool THostLookup::Done() const {
    return state_->done.load(std::memory_order_acquire);
}

int THostLookup::Result(std::vector<SocketAddress>& out) {
    out = state_->addresses;
    return state_->rc;
}

std::vector<SocketAddress> InterleaveFamilies(const std::vector<SocketAddress>& addresses) {
    std::vector<SocketAddress> first, other, out;
    for (const SocketAddress& a : addresses)
        (a.family == addresses.front().family ? first : other).push_back(a);
    for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < other.size()) out.push_back(other[i]);
    }
    return out;
}

std::string AddressText(const sockaddr* addr) {
    char text[INET6_ADDRSTRLEN] = "";
    if (addr->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text,
                  sizeof text);
    else if (addr->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text,
                  sizeof text);
    return text;
}

std::string HostNameOf(const sockaddr* addr, socklen_t len, int& err) {
    char name[NI_MAXHOST];
    err = getnameinfo(addr, len, name, sizeof name, nullptr, 0, NI_NAMEREQD);
    return err == 0 ? std::string(name) : std::string();
}

} // namespace brix
