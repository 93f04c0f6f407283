#pragma once
// A TCP connection to a server given by host name or address and by service
// name or port. Every wait has a time-out (Timeout); lines are kept whole up
// to kMaxLineLength; lines that follow each other without a reply can be
// queued (QueueLn) so that they leave in one send before the next read.

#include "net/abs_socket.h"
#include "net/proxy.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

class TDeflateLayer;
class TTlsLayer;
struct SocketAddress;

// A line longer than this is a protocol error of the connection.
constexpr std::size_t kMaxLineLength = 16u << 20;

// An HTTP proxy's response head beyond this size is an error: a hostile
// proxy must not fill memory before the tunnel opens.
constexpr std::size_t kMaxProxyHead = 16u << 10;

// RFC 8305's Connection Attempt Delay: how long an address has to connect
// before the next one is tried as well.
constexpr std::int32_t kConnectStaggerMs = 250;

// The least pace of a multi-line answer beyond the time-out (TAnswerPaceScope).
constexpr std::int64_t kAnswerPaceBytesPerSecond = 1024;

class TTCPClientSocket : public TTCPSocket {
  public:
    // Opens the connection. An address Host (dotted IPv4, IPv6 bare or in
    // brackets: "[::1]") is used as it is; any other text is resolved, and
    // the addresses (IPv4 and IPv6, the families taking turns) are tried
    // staggered: the next one starts kConnectStaggerMs after the one before
    // unless a connection has come, the earlier attempts going on; the
    // first to connect wins. Resolving and connecting together have the
    // time-out as a whole, and hear the abort check. HostName is then Host
    // without the brackets. An open connection is closed first.
    // With a Proxy, it is the proxy that is resolved and connected; Host
    // and Port go to it as they are (a name is never resolved here), and
    // its handshake counts against the same time-out. HostName is still
    // the server's, so that TLS checks the server's certificate.
    void Connect(const std::string& Host, const std::string& Port);

    // The proxy the next Connect goes through; none by default.
    TProxy Proxy;

    // Waits (at most Timeout) until data can be read.
    virtual void WaitForData();
    // Waits at most T microseconds; 1 when data can be read or the peer has
    // closed, 0 when the time ran out.
    virtual std::int32_t WaitForDataTime(std::int32_t T);
    // One receive of at most Size bytes; 0 when the peer has closed.
    virtual std::int32_t Read(void* Buf, std::int32_t Size);
    // One line without its CR and LF; returns its length. At the end of the
    // stream the bytes received so far (possibly none) are returned.
    virtual std::int32_t ReadLn(std::string& S);

    // Sends all Size bytes (a partial send is continued) after any queued
    // lines; returns Size.
    std::int32_t Write(const void* Buf, std::int32_t Size);
    // Sends S and CR LF, together with any queued lines, in one Write.
    std::int32_t WriteLn(std::string_view S);
    // Appends S and CR LF to the send queue. The queue leaves with the next
    // WriteLn, Write or Flush, before any read or wait, or when it grows
    // large; Disconnect drops what is still queued.
    void QueueLn(std::string_view S);
    void Flush();

    // The peer has closed its side (a receive returned 0).
    bool PeerClosed() const { return peerClosed_; }
    // The connected peer is this machine (127.0.0.0/8, ::1, or 127.x as an
    // IPv4-mapped address): nothing of the connection crosses a network.
    // Never through a proxy, whatever the proxy's address.
    bool PeerIsLoopback() const;
    // Open, not closed by the peer and not spoilt by a failed TLS upgrade: a
    // goodbye can still be said.
    bool Usable() const { return Handle != -1 && !peerClosed_ && !tlsFailed_; }
    // The last ReadLn ended at an LF (false: cut off by the end of the stream).
    bool LastLineEnded() const { return lineEnded_; }

    // Puts TLS on the open connection, for implicit TLS right after
    // Connect or after a protocol's STARTTLS reply. Whatever was received
    // before is dropped unread, so nothing the server (or anyone on the way)
    // sent in plain text can pass for a reply after the upgrade. The
    // handshake waits as any other wait does (Timeout) and verifies the
    // certificate against HostName; CAFile names extra trusted CAs (PEM).
    // The whole handshake is bounded by Timeout, however slowly it comes.
    // A failure raises ETCPClientSocket with the reason; the connection is
    // then unusable and must be closed.
    void StartTls(const std::string& CAFile, const std::vector<std::string>& Pins = {});
    bool TlsActive() const { return tls_ != nullptr; }

    // From here on both directions are raw deflate (NNTP's COMPRESS
    // DEFLATE, RFC 8054), above TLS when that is on. A broken compressed
    // stream is a "Read" error of the connection, as a cut one is.
    virtual void StartCompression();
    // The compressed and the plain bytes so far; "" without compression.
    std::string CompressionCounts() const;

    // Sends the TLS close_notify first, when TLS is on.
    void Disconnect() override;

    TTCPClientSocket();
    ~TTCPClientSocket() override;

  protected:
    // One receive into buf, waiting at most Timeout for data; raises
    // ETCPClientSocket with tag on failure or time-out (ETIMEDOUT).
    std::int32_t Receive(void* buf, std::int32_t size, const char* tag);
    // Forgets the state of an earlier connection.
    virtual void ResetStream();

    bool peerClosed_ = false;
    bool lineEnded_ = false;

    // Bounds a whole line (or a whole Write) by Timeout, not each receive
    // in it, so that a server dripping a byte at a time cannot hold the run.
    // Nested scopes keep the outer deadline.
    class TDeadlineScope {
      public:
        explicit TDeadlineScope(TTCPClientSocket& s);
        ~TDeadlineScope();
        TDeadlineScope(const TDeadlineScope&) = delete;
        TDeadlineScope& operator=(const TDeadlineScope&) = delete;

      private:
        TTCPClientSocket& s_;
        bool owner_;
    };
    // Microseconds the next wait may last: Timeout, or what is left of the
    // running deadline; raises ETCPClientSocket with tag (ETIMEDOUT) when
    // nothing is left.
    std::int64_t WaitMicros(const char* tag) const;
    std::unique_ptr<TDeflateLayer> deflate_;

  private:
    friend class TAnswerPaceScope;
    // The bytes as they go on and come off the wire (through TLS when on).
    std::int32_t ReceiveWire(void* buf, std::int32_t size, const char* tag);
    void WriteWire(const char* p, std::int32_t left);
    // Waits (at most Timeout) until the socket is readable or writable as
    // the TLS layer wants; raises ETCPClientSocket with tag otherwise.
    void WaitFor(bool write, const char* tag);
    std::int32_t TlsWaitTime(std::int32_t T);
    std::vector<SocketAddress> Resolve(const std::string& Host, std::uint16_t portNet,
                                       std::int64_t deadlineUs);
    // Connects Handle to one of the addresses, staggered; false with the
    // last error in err (ETIMEDOUT when the deadline came first).
    bool ConnectAny(const std::vector<SocketAddress>& addresses, int protocol,
                    std::int64_t deadlineUs, int& err);
    // The proxy's handshake for Host and Port on the open connection to it,
    // done by deadlineUs. Each failure says which step and in the proxy's
    // own terms.
    void ProxyHandshake(const std::string& Host, std::uint16_t port, const std::string& PortText,
                        std::int64_t deadlineUs);
    void Socks5Handshake(const std::string& Host, std::uint16_t port, const std::string& target,
                         std::int64_t deadlineUs);
    void HttpHandshake(const std::string& Host, const std::string& PortText,
                       const std::string& target, std::int64_t deadlineUs);
    // Plain bytes to and from the proxy, bounded by deadlineUs; step names
    // the handshake's step in the error.
    void ProxySend(const std::string& bytes, const std::string& step, std::int64_t deadlineUs);
    std::string ProxyReceive(std::size_t count, const std::string& step, std::int64_t deadlineUs);
    // Waits until the socket is readable; an error for step past deadlineUs.
    void ProxyWait(const std::string& step, std::int64_t deadlineUs);
    // What the running line's deadline leaves of Timeout.
    std::int64_t LineWaitMicros() const;
    void SetTcpOptions();
    std::string out_;
    std::unique_ptr<TTlsLayer> tls_;
    // Steady clock; 0: none running; kDeadlinePending: a scope is open but
    // has not waited yet. The clock is read only when a wait comes, so a
    // line already in the buffer costs no clock read (one per line was a
    // sixth of the CPU time of a large download).
    static constexpr std::int64_t kDeadlinePending = -1;
    mutable std::int64_t deadlineUs_ = 0;
    // The running TAnswerPaceScope: when it opened (0: none) and the bytes
    // received since.
    std::int64_t paceStartUs_ = 0;
    std::uint64_t paceBytes_ = 0;
    bool tlsFailed_ = false;
};

// Opened by the reader of a multi-line answer after its first line, around
// the rest of it: the answer as a whole must keep arriving, or end. A line
// per time-out is not enough: since the scope opened, the socket's waits
// allow Timeout plus a second per kAnswerPaceBytesPerSecond bytes received
// in it, so a server that sends a short line every little while, or a byte
// a second, runs out with the wait's usual error ("Read" or "ReadLn",
// ETIMEDOUT) while a large answer that flows is never cut. Each wait stays
// bounded by Timeout and by its line's deadline as well: the stricter bound
// holds. Nested scopes keep the outer one.
class TAnswerPaceScope {
  public:
    explicit TAnswerPaceScope(TTCPClientSocket& s);
    ~TAnswerPaceScope();
    TAnswerPaceScope(const TAnswerPaceScope&) = delete;
    TAnswerPaceScope& operator=(const TAnswerPaceScope&) = delete;

  private:
    TTCPClientSocket& s_;
    bool owner_;
};

} // namespace brix
