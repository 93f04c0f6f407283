#include "net/tcp_client_socket.h"

#include "net/deflate_layer.h"
#include "net/socket_api.h"
#include "net/tls_layer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace brix {

namespace {
// Queued lines are sent once they reach this size, so that a long article
// is not held twice in memory.
constexpr std::size_t kQueueFlushSize = 64 * 1024;

std::int64_t NowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

TTCPClientSocket::TDeadlineScope::TDeadlineScope(TTCPClientSocket& s)
    : s_(s), owner_(s.deadlineUs_ == 0) {
    if (owner_) s_.deadlineUs_ = kDeadlinePending;
}

TTCPClientSocket::TDeadlineScope::~TDeadlineScope() {
    if (owner_) s_.deadlineUs_ = 0;
}

TAnswerPaceScope::TAnswerPaceScope(TTCPClientSocket& s) : s_(s), owner_(s.paceStartUs_ == 0) {
    if (!owner_) return;
    s_.paceStartUs_ = NowMicros();
    s_.paceBytes_ = 0;
}

TAnswerPaceScope::~TAnswerPaceScope() {
    if (owner_) s_.paceStartUs_ = 0;
}

std::int64_t TTCPClientSocket::LineWaitMicros() const {
    if (deadlineUs_ == 0) return TimeoutMicros();
    if (deadlineUs_ == kDeadlinePending) deadlineUs_ = NowMicros() + TimeoutMicros();
    return std::min(deadlineUs_ - NowMicros(), TimeoutMicros());
}

std::int64_t TTCPClientSocket::WaitMicros(const char* tag) const {
    std::int64_t left = LineWaitMicros();
    if (paceStartUs_ != 0) {
        const std::int64_t earned =
            static_cast<std::int64_t>(paceBytes_) * 1'000'000 / kAnswerPaceBytesPerSecond;
        left = std::min(left, paceStartUs_ + TimeoutMicros() + earned - NowMicros());
    }
    if (left <= 0) throw ETCPClientSocket::CreateError(tag, ETIMEDOUT);
    return left;
}

TTCPClientSocket::TTCPClientSocket() = default;
TTCPClientSocket::~TTCPClientSocket() = default;

void TTCPClientSocket::ResetStream() {
    deflate_.reset();
    tls_.reset();
    tlsFailed_ = false;
    out_.clear();
    peerClosed_ = false;
    lineEnded_ = false;
}

void TTCPClientSocket::Disconnect() {
    out_.clear();
    if (tls_) {
        tls_->Close();
        tls_.reset();
    }
    TTCPSocket::Disconnect();
}

void TTCPClientSocket::SetTcpOptions() {
    // Commands are small and answered one at a time: Nagle would hold each
    // back for the previous reply's ACK.
    int on = 1;
    setsockopt(IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    WSASetLastError(0);
}

namespace {
// A connection attempt's socket: closed unless it wins.
class TAttempt {
  public:
    explicit TAttempt(int fd) : fd_(fd) {}
    ~TAttempt() {
        if (fd_ >= 0) ::close(fd_);
    }
    TAttempt(TAttempt&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    TAttempt& operator=(TAttempt&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int Fd() const { return fd_; }
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};
} // namespace

std::vector<SocketAddress> TTCPClientSocket::Resolve(const std::string& Host, std::uint16_t portNet,
                                                     std::int64_t deadlineUs) {
    THostLookup lookup(Host, portNet);
    while (!lookup.Done()) {
        const std::int64_t left = deadlineUs - NowMicros();
        if (left <= 0)
            throw ETCPClientSocket::CreateError(
                "Connect: Host name " + Host + " not resolved within the time-out", ETIMEDOUT);
        pollfd p{lookup.Fd(), POLLIN, 0};
        if (PollWithAbortCheck(&p, 1, left) < 0)
            throw ETCPClientSocket::CreateError("Connect", WSAGetLastError());
    }
    std::vector<SocketAddress> addresses;
    if (int rc = lookup.Result(addresses); rc != 0)
        throw ETCPClientSocket::CreateError("Connect: Host name " + Host + " unknown.", rc);
    return InterleaveFamilies(addresses);
}

bool TTCPClientSocket::ConnectAny(const std::vector<SocketAddress>& addresses, int protocol,
                                  std::int64_t deadlineUs, int& err) {
    // The socket made up front serves the first address when its family fits.
    TAttempt spare(std::exchange(Handle, -1));
    std::vector<TAttempt> running;
    std::vector<pollfd> polls;
    std::size_t next = 0;
    std::int64_t nextStartUs = 0;
    err = ETIMEDOUT;
    for (;;) {
        const std::int64_t now = NowMicros();
        // The next address when its turn has come, or at once when no
        // attempt is left running.
        while (next < addresses.size() && (now >= nextStartUs || running.empty())) {
            const SocketAddress& a = addresses[next++];
            LogLine("trying address " + AddressText(reinterpret_cast<const sockaddr*>(&a.addr)));
            TAttempt s(
                next == 1 && a.family == AF_INET
                    ? spare.Release()
                    : ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol));
            if (s.Fd() < 0) {
                err = errno;
                continue;
            }
            if (::connect(s.Fd(), reinterpret_cast<const sockaddr*>(&a.addr), a.len) == 0) {
                Handle = s.Release();
                return true;
            }
            // Interrupted, the connect goes on in the background.
            if (errno != EINPROGRESS && errno != EINTR) {
                err = errno;
                continue;
            }
            running.push_back(std::move(s));
            nextStartUs = now + std::int64_t(kConnectStaggerMs) * 1000;
        }
        if (running.empty()) return false;
        std::int64_t left = deadlineUs - now;
        if (left <= 0) {
            err = ETIMEDOUT;
            return false;
        }
        // Never negative: that would be a wait without end.
        if (next < addresses.size()) left = std::clamp<std::int64_t>(nextStartUs - now, 0, left);
        polls.clear();
        for (const TAttempt& s : running)
            polls.push_back({s.Fd(), POLLOUT, 0});
        if (PollWithAbortCheck(polls.data(), polls.size(), left) < 0) {
            err = WSAGetLastError();
            return false;
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < running.size(); ++i) {
            if (polls[i].revents != 0) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                if (::getsockopt(running[i].Fd(), SOL_SOCKET, SO_ERROR, &soErr, &len) < 0)
                    soErr = errno;
                if (soErr == 0) {
                    Handle = running[i].Release();
                    return true;
                }
                // A failed attempt hands its turn on at once (RFC 8305
                // section 5).
                err = soErr;
                nextStartUs = now;
                continue;
            }
            running[kept++] = std::move(running[i]);
        }
        running.erase(running.begin() + static_cast<std::ptrdiff_t>(kept), running.end());
    }
}

void TTCPClientSocket::Connect(const std::string& Host, const std::string& PortText) {
    // A second Connect on an open socket must not leak the first connection.
    if (Handle != -1) Disconnect();
    ResetStream();
    LogLine("Creating client socket...");
    int protocol = LookupProtocol(ProtoName);
    socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, protocol);
    if (WSAGetLastError() != 0) throw ETCPClientSocket::CreateError("Connect", WSAGetLastError());

    // Resolving, connecting and a proxy's handshake share the time-out: a
    // slow resolver leaves the less for the addresses.
    const std::int64_t deadlineUs = NowMicros() + TimeoutMicros();
    const bool proxied = Proxy.Used();
    const std::string& host = proxied ? Proxy.Host : Host;
    const std::uint16_t proxyPortNet = proxied ? ResolvePort(Proxy.Port) : 0;
    // Last, so that Port is the server's.
    const std::uint16_t portNet = ResolvePort(PortText);
    const std::uint16_t hostPortNet = proxied ? proxyPortNet : portNet;
    const std::string where = HostPortText(Host, PortText);
    if (proxied) LogLine("connecting to " + where + " through the " + Proxy.Name());
    std::vector<SocketAddress> addresses(1);
    if (!NumericAddress(host, hostPortNet, addresses[0])) {
        LogLine(host + " does not look like ip. Trying to use it as host name ");
        try {
            addresses = Resolve(host, hostPortNet, deadlineUs);
        } catch (const ETCPClientSocket& e) {
            if (!proxied) throw;
            throw ETCPClientSocket("Proxy " + Proxy.Where() + ": " + e.Message());
        }
        LogLine("resolved host name");
    }

    LogLine("trying to connect to " + HostPortText(host, proxied ? Proxy.Port : PortText));
    int err = 0;
    if (!ConnectAny(addresses, protocol, deadlineUs, err)) {
        if (proxied)
            throw ETCPSocket::CreateError("Proxy " + Proxy.Where() +
                                              ": Cannot connect to the proxy (asked for " + where +
                                              ")",
                                          err);
        throw ETCPSocket::CreateError("Connect: Cannot connect to " + where, err);
    }
    SetTcpOptions();
    if (proxied) ProxyHandshake(Host, ntohs(portNet), PortText, deadlineUs);
    // The address itself for TLS: brackets are no part of it.
    HostName = BareHost(Host);
}

void TTCPClientSocket::ProxyWait(const std::string& step, std::int64_t deadlineUs) {
    const std::int64_t left = deadlineUs - NowMicros();
    const int ready = left <= 0 ? 0 : select(1, 0, 0, left);
    if (ready < 0)
        throw ETCPClientSocket::CreateError("Proxy " + Proxy.Where() + ": " + step,
                                            WSAGetLastError());
    if (ready == 0)
        throw ETCPClientSocket::CreateError(
            "Proxy " + Proxy.Where() + ": " + step + ": no answer from the proxy", ETIMEDOUT);
}

void TTCPClientSocket::ProxySend(const std::string& bytes, const std::string& step,
                                 std::int64_t deadlineUs) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const int n = send(p, static_cast<int>(left), MSG_DONTWAIT);
        if (n >= 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
            continue;
        }
        const int e = WSAGetLastError();
        if (e != EAGAIN && e != EWOULDBLOCK)
            throw ETCPClientSocket::CreateError("Proxy " + Proxy.Where() + ": " + step, e);
        const std::int64_t wait = deadlineUs - NowMicros();
        if (wait <= 0 || select(0, 1, 0, wait) == 0)
            throw ETCPClientSocket::CreateError("Proxy " + Proxy.Where() + ": " + step, ETIMEDOUT);
    }
}

std::string TTCPClientSocket::ProxyReceive(std::size_t count, const std::string& step,
                                           std::int64_t deadlineUs) {
    // Exactly count bytes: what follows belongs to the server.
    std::string out(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        const int n = recv(out.data() + got, static_cast<int>(count - got), MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            throw ETCPClientSocket::CreateError("Proxy " + Proxy.Where() + ": " + step +
                                                    ": connection closed by the proxy",
                                                ECONNRESET);
        const int e = WSAGetLastError();
        if (e != EAGAIN && e != EWOULDBLOCK)
            throw ETCPClientSocket::CreateError("Proxy " + Proxy.Where() + ": " + step, e);
        ProxyWait(step, deadlineUs);
    }
    return out;
}

void TTCPClientSocket::ProxyHandshake(const std::string& Host, std::uint16_t port,
                                      const std::string& PortText, std::int64_t deadlineUs) {
    const std::string target = HostPortText(Host, PortText);
    if (Proxy.Kind == TProxyKind::Http)
        HttpHandshake(Host, std::to_string(port), target, deadlineUs);
    else
        Socks5Handshake(Host, port, target, deadlineUs);
    LogLine("the " + Proxy.Name() + " has opened the way to " + target);
}

void TTCPClientSocket::Socks5Handshake(const std::string& Host, std::uint16_t port,
                                       const std::string& target, std::int64_t deadlineUs) {
    const std::string proxy = "Proxy " + Proxy.Where() + ": ";
    const bool login = !Proxy.User.empty();
    ProxySend(Socks5Greeting(login), "SOCKS5 greeting", deadlineUs);
    const std::string choice = ProxyReceive(2, "SOCKS5 method choice", deadlineUs);
    if (choice[0] != '\x05')
        throw ETCPClientSocket::CreateError(proxy + "this is no SOCKS5 proxy",
                                            "version " + std::to_string(std::uint8_t(choice[0])));
    const std::uint8_t method = static_cast<std::uint8_t>(choice[1]);
    if (method == 0xff)
        throw ETCPClientSocket::CreateError(
            proxy + (login ? "the proxy takes no login by user name and password: give the "
                             "proxy key without a user"
                           : "the proxy wants a login: give the user in the proxy key "
                             "(socks5://user@host:port) and its password"),
            "no acceptable methods");
    if (method != (login ? 2 : 0))
        throw ETCPClientSocket::CreateError(proxy + "the proxy chose a method not offered",
                                            "method " + std::to_string(method));
    if (login) {
        if (!Socks5LoginFits(Proxy))
            throw ETCPClientSocket::CreateError(
                proxy + "the proxy's user name or password is longer than 255 bytes", "SOCKS5");
        ProxySend(Socks5Login(Proxy.User, Proxy.Password), "SOCKS5 login", deadlineUs);
        const std::string status = ProxyReceive(2, "SOCKS5 login status", deadlineUs);
        if (status[1] != 0)
            throw ETCPClientSocket::CreateError(
                proxy + "the proxy refused the login of " + Proxy.User +
                    " (check the user and PROXYPASS or PROXYPASSCMD)",
                "status " + std::to_string(std::uint8_t(status[1])));
    }
    ProxySend(Socks5Request(Host, port), "SOCKS5 request for " + target, deadlineUs);
    const std::string reply = ProxyReceive(4, "SOCKS5 reply for " + target, deadlineUs);
    if (reply[0] != '\x05')
        throw ETCPClientSocket::CreateError(proxy + "this is no SOCKS5 proxy",
                                            "version " + std::to_string(std::uint8_t(reply[0])));
    const std::uint8_t code = static_cast<std::uint8_t>(reply[1]);
    if (code != 0)
        throw ETCPClientSocket::CreateError(proxy + "SOCKS5 connect to " + target + ": " +
                                                Socks5ReplyText(code),
                                            "reply " + std::to_string(code));
    // The bound address is read whole: its bytes are no part of the
    // server's greeting that may come right after it.
    int length = Socks5AddressLength(static_cast<std::uint8_t>(reply[3]));
    if (length < 0)
        throw ETCPClientSocket::CreateError(proxy + "SOCKS5 reply for " + target +
                                                " with an unknown address type",
                                            "type " + std::to_string(std::uint8_t(reply[3])));
    if (length == 0)
        length =
            static_cast<std::uint8_t>(ProxyReceive(1, "SOCKS5 reply for " + target, deadlineUs)[0]);
    ProxyReceive(static_cast<std::size_t>(length) + 2, "SOCKS5 reply for " + target, deadlineUs);
}

void TTCPClientSocket::HttpHandshake(const std::string& Host, const std::string& PortText,
                                     const std::string& target, std::int64_t deadlineUs) {
    const std::string proxy = "Proxy " + Proxy.Where() + ": ";
    const std::string step = "HTTP CONNECT " + target;
    ProxySend(HttpConnectRequest(BareHost(Host), PortText, Proxy.User, Proxy.Password), step,
              deadlineUs);
    // The head is looked at before it is taken, and only the head is taken:
    // the server's first bytes may share its segment.
    std::string head;
    char buf[2048];
    for (;;) {
        ProxyWait(step, deadlineUs);
        const int n = recv(buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
        if (n == 0)
            throw ETCPClientSocket::CreateError(proxy + step + ": connection closed by the proxy",
                                                ECONNRESET);
        if (n < 0) {
            const int e = WSAGetLastError();
            if (e == EAGAIN || e == EWOULDBLOCK) continue;
            throw ETCPClientSocket::CreateError(proxy + step, e);
        }
        const std::size_t before = head.size();
        head.append(buf, static_cast<std::size_t>(n));
        const std::size_t end = HttpHeadEnd(head, before < 3 ? 0 : before - 3);
        const std::size_t take =
            end == std::string::npos ? static_cast<std::size_t>(n) : end - before;
        head.resize(before + take);
        ProxyReceive(take, step, deadlineUs);
        if (end != std::string::npos) break;
        if (head.size() > kMaxProxyHead)
            throw ETCPClientSocket::CreateError(proxy + step + ": the proxy's answer has no end",
                                                EMSGSIZE);
    }
    std::string statusLine;
    const int code = HttpStatus(head, statusLine);
    if (code < 0)
        throw ETCPClientSocket::CreateError(proxy + step + ": this is no HTTP proxy",
                                            statusLine.substr(0, 80));
    if (code == 407)
        throw ETCPClientSocket::CreateError(
            proxy + step + ": the proxy wants a login" +
                (Proxy.User.empty() ? ": give the user in the proxy key (http://user@host:port)"
                                    : " and refused the one of " + Proxy.User +
                                          " (check PROXYPASS or PROXYPASSCMD)"),
            statusLine);
    if (code < 200 || code > 299)
        throw ETCPClientSocket::CreateError(proxy + step + " refused", statusLine);
}

bool TTCPClientSocket::PeerIsLoopback() const {
    // Through a proxy the peer is the proxy; the server lies beyond it.
    if (Proxy.Used()) return false;
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (Handle < 0 || ::getpeername(Handle, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return false;
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (a.ss_family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

void TTCPClientSocket::StartTls(const std::string& CAFile, const std::vector<std::string>& Pins) {
    Flush();
    if (peerClosed_)
        throw ETCPClientSocket::CreateError("TLS: connection closed by the server", ECONNRESET);
    ResetStream();
    LogLine("Starting TLS with " + HostName + " on socket " + std::to_string(Handle) + "...");
    try {
        tls_ = std::make_unique<TTlsLayer>(Handle, HostName, CAFile, Pins);
        // The handshake as a whole has the time-out: a server that sends a
        // byte now and then must not restart it with each byte.
        TDeadlineScope deadline(*this);
        for (;;) {
            TTlsLayer::Want w = tls_->Handshake();
            if (w == TTlsLayer::Want::None) break;
            WaitFor(w == TTlsLayer::Want::Write, "TLS: handshake");
        }
    } catch (...) {
        tls_.reset();
        // Nothing may go out in plain text after a failed upgrade, and
        // nothing that comes in is read.
        tlsFailed_ = true;
        peerClosed_ = true;
        throw;
    }
    LogLine("TLS on socket " + std::to_string(Handle) + ": " + tls_->Description());
}

void TTCPClientSocket::WaitFor(bool write, const char* tag) {
    int ready = select(write ? 0 : 1, write ? 1 : 0, 0, WaitMicros(tag));
    if (ready == 0) throw ETCPClientSocket::CreateError(tag, ETIMEDOUT);
    if (ready < 0) throw ETCPClientSocket::CreateError(tag, WSAGetLastError());
}

void TTCPClientSocket::WaitForData() {
    Flush();
    LogLine("Waiting for data on socket " + std::to_string(Handle));
    if (peerClosed_ || (tls_ && tls_->Pending())) return;
    int r = select(1, 0, 0, TimeoutMicros());
    if (r == 0) throw ETCPClientSocket::CreateError("WaitForData", ETIMEDOUT);
    if (r < 0) throw ETCPClientSocket::CreateError("WaitForData", WSAGetLastError());
}

std::int32_t TTCPClientSocket::WaitForDataTime(std::int32_t T) {
    Flush();
    LogLine("Waiting for data on socket " + std::to_string(Handle) + " for " + std::to_string(T) +
            " microseconds");
    if (peerClosed_ || (deflate_ && deflate_->Pending())) return 1;
    if (tls_) return TlsWaitTime(T);
    int r = select(1, 0, 0, T < 0 ? 0 : T);
    if (r < 0) throw ETCPClientSocket::CreateError("WaitForDataTime", WSAGetLastError());
    return r;
}

std::int32_t TTCPClientSocket::TlsWaitTime(std::int32_t T) {
    if (tls_->Pending()) return 1;
    // A readable socket may carry only TLS housekeeping (a session ticket,
    // a key update) and no data: that is not an answer to wait for.
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(T < 0 ? 0 : T);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        int r = select(1, 0, 0, left < 0 ? 0 : left);
        if (r < 0) throw ETCPClientSocket::CreateError("WaitForDataTime", WSAGetLastError());
        if (r == 0) return 0;
        TTlsLayer::Want w;
        if (tls_->Peek(w, "WaitForDataTime") >= 0 || w == TTlsLayer::Want::Write) return 1;
        if (left <= 0) return 0;
    }
}

void TTCPClientSocket::StartCompression() {
    Flush();
    deflate_ = std::make_unique<TDeflateLayer>();
}

std::string TTCPClientSocket::CompressionCounts() const {
    return deflate_ ? deflate_->Counts() : std::string();
}

std::int32_t TTCPClientSocket::Receive(void* buf, std::int32_t size, const char* tag) {
    if (!deflate_) return ReceiveWire(buf, size, tag);
    for (;;) {
        // What zlib holds from earlier input first: the wire may stay quiet.
        const std::size_t made =
            deflate_->Inflate(static_cast<char*>(buf), static_cast<std::size_t>(size), tag);
        if (made > 0) return static_cast<std::int32_t>(made);
        char wire[16384];
        const std::int32_t n = ReceiveWire(wire, sizeof wire, tag);
        if (n == 0) return 0;
        deflate_->Feed(wire, static_cast<std::size_t>(n));
    }
}

std::int32_t TTCPClientSocket::ReceiveWire(void* buf, std::int32_t size, const char* tag) {
    // Nothing can follow the peer's FIN; further reads end at once.
    if (peerClosed_) return 0;
    while (tls_) {
        TTlsLayer::Want w;
        std::int32_t n = tls_->Read(buf, size, w, tag);
        if (n > 0) {
            int on = 1;
            setsockopt(IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            WSASetLastError(0);
            paceBytes_ += static_cast<std::uint64_t>(n);
            return n;
        }
        if (n == 0) {
            peerClosed_ = true;
            if (tls_->CutOff()) LogLine("TLS ended without close_notify");
            return 0;
        }
        WaitFor(w == TTlsLayer::Want::Write, tag);
    }
    for (;;) {
        int n = recv(buf, size, MSG_DONTWAIT);
        if (n > 0) {
            // Linux falls back to delayed ACKs after a while; a server that
            // writes a reply in pieces would then wait for our ACK.
            int on = 1;
            setsockopt(IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            paceBytes_ += static_cast<std::uint64_t>(n);
            return n;
        }
        if (n == 0) {
            peerClosed_ = true;
            return 0;
        }
        int err = WSAGetLastError();
        if (err != EAGAIN && err != EWOULDBLOCK) throw ETCPClientSocket::CreateError(tag, err);
        int ready = select(1, 0, 0, WaitMicros(tag));
        if (ready == 0) throw ETCPClientSocket::CreateError(tag, ETIMEDOUT);
        if (ready < 0) throw ETCPClientSocket::CreateError(tag, WSAGetLastError());
    }
}

std::int32_t TTCPClientSocket::Read(void* Buf, std::int32_t Size) {
    Flush();
    LogLine("Reading data on socket " + std::to_string(Handle) + "...");
    if (Size <= 0) return 0;
    return Receive(Buf, Size, "Read");
}

std::int32_t TTCPClientSocket::ReadLn(std::string& S) {
    Flush();
    LogLine("Reading data on socket " + std::to_string(Handle) + "...");
    TDeadlineScope deadline(*this);
    S.clear();
    lineEnded_ = false;
    for (;;) {
        char c;
        if (Receive(&c, 1, "ReadLn") == 0) break;
        if (c == '\n') {
            if (!S.empty() && S.back() == '\r') S.pop_back();
            lineEnded_ = true;
            break;
        }
        if (S.size() >= kMaxLineLength) throw ETCPClientSocket::CreateError("ReadLn", EMSGSIZE);
        S += c;
    }
    return static_cast<std::int32_t>(S.size());
}

void TTCPClientSocket::Flush() {
    if (out_.empty()) return;
    std::string data;
    data.swap(out_);
    Write(data.data(), static_cast<std::int32_t>(data.size()));
}

std::int32_t TTCPClientSocket::Write(const void* Buf, std::int32_t Size) {
    if (!out_.empty()) {
        // Queued lines go first, in the same send when possible.
        out_.append(static_cast<const char*>(Buf), static_cast<std::size_t>(Size));
        std::string data;
        data.swap(out_);
        Write(data.data(), static_cast<std::int32_t>(data.size()));
        return Size;
    }
    LogLine("Writing data to socket " + std::to_string(Handle) + "...");
    if (tlsFailed_) throw ETCPClientSocket::CreateError("Write", ECONNRESET);
    if (!deflate_) {
        WriteWire(static_cast<const char*>(Buf), Size);
    } else {
        const std::string wire =
            deflate_->Deflate({static_cast<const char*>(Buf), static_cast<std::size_t>(Size)});
        WriteWire(wire.data(), static_cast<std::int32_t>(wire.size()));
    }
    return Size;
}

void TTCPClientSocket::WriteWire(const char* p, std::int32_t left) {
    TDeadlineScope deadline(*this);
    while (left > 0 && tls_) {
        TTlsLayer::Want w;
        std::int32_t n = tls_->Write(p, left, w, "Write");
        if (n > 0) {
            p += n;
            left -= n;
        } else {
            WaitFor(w == TTlsLayer::Want::Write, "Write");
        }
    }
    while (left > 0) {
        int n = send(p, left, MSG_DONTWAIT);
        if (n >= 0) {
            p += n;
            left -= n;
            continue;
        }
        int err = WSAGetLastError();
        if (err != EAGAIN && err != EWOULDBLOCK) throw ETCPClientSocket::CreateError("Write", err);
        int ready = select(0, 1, 0, WaitMicros("Write"));
        if (ready == 0) throw ETCPClientSocket::CreateError("Write", ETIMEDOUT);
        if (ready < 0) throw ETCPClientSocket::CreateError("Write", WSAGetLastError());
    }
}

std::int32_t TTCPClientSocket::WriteLn(std::string_view S) {
    std::string line;
    line.reserve(S.size() + 2);
    line.append(S);
    line += "\r\n";
    return Write(line.data(), static_cast<std::int32_t>(line.size()));
}

void TTCPClientSocket::QueueLn(std::string_view S) {
    out_.append(S);
    out_ += "\r\n";
    if (out_.size() >= kQueueFlushSize) Flush();
}

} // namespace brix
