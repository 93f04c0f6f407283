#include "net/socket_api.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

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
} // namespace

void SetHostResolver(HostResolver resolver) {
    CustomResolver() = std::move(resolver);
}

int ResolveHost(const std::string& host, std::uint16_t portNet, std::vector<SocketAddress>& out) {
    out.clear();
    if (CustomResolver()) return CustomResolver()(host, portNet, out);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) return rc;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        SocketAddress a;
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.len = ai->ai_addrlen;
        a.family = ai->ai_family;
        if (a.family == AF_INET)
            reinterpret_cast<sockaddr_in*>(&a.addr)->sin_port = portNet;
        else
            reinterpret_cast<sockaddr_in6*>(&a.addr)->sin6_port = portNet;
        out.push_back(a);
    }
    freeaddrinfo(list);
    return out.empty() ? EAI_NONAME : 0;
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
