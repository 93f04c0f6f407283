#pragma once
// Root of the socket class tree: the handle, the progress-line callback, the
// service look-up, and one adapter operation per socket call. Every adapter
// call leaves the socket layer's error number (WSAGetLastError) at 0 when it
// succeeded and at errno when it failed; interrupted calls are repeated.

#include "net/skt_exceptions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>

namespace brix {

// Receives each progress line of a socket or each protocol line of a client.
// Unassigned means the lines are dropped.
using TOnLogLineProc = std::function<void(const std::string& Msg)>;

// Every wait for the peer (connect, a line, a refill, a send) gives up after
// this many milliseconds unless the owner sets another Timeout.
constexpr std::int32_t kDefaultSocketTimeout = 60'000;

// Called at least every kAbortSliceMs while a socket waits for its peer (and
// at once when a signal cuts a wait short). It may raise an exception to end
// the wait: that is how the program lets the user stop a job that waits for a
// hanging server. The program installs it once; none is called by default.
using TSocketAbortCheck = void (*)();
void SetSocketAbortCheck(TSocketAbortCheck check);
// Calls the abort check as a wait would, for loops over data that is
// already buffered (a deflated answer can hold millions of lines that no
// wait comes between).
void PollSocketAbort();
constexpr int kAbortSliceMs = 100;

// poll() on fds for at most microseconds (negative: no limit), cut into
// slices of kAbortSliceMs, each followed by the abort check; poll()'s result
// (0 when the time ran out), with the socket layer's error number set. For
// waits on more than the one socket (connecting to several addresses at
// once, a name look-up).
int PollWithAbortCheck(pollfd* fds, std::size_t count, std::int64_t microseconds);

class TAbsSocket {
  public:
    TAbsSocket() = default;
    virtual ~TAbsSocket();
    TAbsSocket(const TAbsSocket&) = delete;
    TAbsSocket& operator=(const TAbsSocket&) = delete;

    // Closes the handle; a socket without one is left alone, so that the
    // end parts of a job may call it after a connect that never happened.
    virtual void Disconnect();

    // Passes Msg (cut at 255 characters) to OnLogLine when assigned.
    void LogLine(const std::string& Msg) const;

    // Service name or decimal port to a port in network byte order; also
    // sets Port (host byte order). A text that is neither raises
    // EConvertError, a number outside 0 to 65535 ERangeError.
    std::uint16_t ResolvePort(const std::string& PortText);

    int Handle = -1;
    bool Blocking = true;
    std::string ProtoName;
    std::int32_t Port = 0;
    TOnLogLineProc OnLogLine;

    // Milliseconds that any one wait for the peer may last; 0 or less means
    // kDefaultSocketTimeout. A wait that runs out raises the operation's
    // error with ETIMEDOUT's number ("Read. (Error=110)").
    std::int32_t Timeout = kDefaultSocketTimeout;
    // Receive calls made on this socket; lets a benchmark check that line
    // reading costs one receive per buffer refill.
    std::uint64_t ReceiveCalls = 0;

  protected:
    // Adapter operations. Each acts on Handle (socket() also sets it) and
    // returns the system call's result.
    int socket(int af, int type, int protocol);
    int connect(const sockaddr* addr, socklen_t len);
    int recv(void* buf, int len, int flags);
    int send(const void* buf, int len, int flags);
    // Readiness wait on Handle: read/write/exception counts of 0 or 1 and a
    // time in microseconds (negative: no limit); 1 when ready, 0 on time-out,
    // -1 on failure. Hang-up and errors count as readable. The wait is cut
    // into slices of kAbortSliceMs, each followed by the abort check.
    int select(int readCount, int writeCount, int exceptCount, std::int64_t microseconds);
    int closesocket();
    int bind(const sockaddr* addr, socklen_t len);
    int listen(int backlog);
    int accept(sockaddr* addr, socklen_t* len);
    int getpeername(sockaddr* addr, socklen_t* len);
    int getsockname(sockaddr* addr, socklen_t* len);
    int getsockopt(int level, int option, void* value, socklen_t* len);
    int setsockopt(int level, int option, const void* value, socklen_t len);
    int shutdown(int how);

    // Timeout in microseconds for select().
    std::int64_t TimeoutMicros() const {
        return std::int64_t(Timeout > 0 ? Timeout : kDefaultSocketTimeout) * 1000;
    }
};

class TTCPSocket : public TAbsSocket {
  public:
    TTCPSocket() { ProtoName = "tcp"; }

    std::string PeerAddress;
    std::string HostName;
};

} // namespace brix
