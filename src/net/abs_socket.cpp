#include "net/abs_socket.h"

#include "net/socket_abort.h"
#include "net/socket_api.h"
#include "support/text.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace brix {

namespace {
TSocketAbortCheck abortCheck = nullptr;
int abortHolds = 0;

// The verdict's grace (TSocketAbortDefer): how many scopes live, their grace,
// the abort held and when it must be honoured.
int deferScopes = 0;
std::int32_t deferGraceMs = 0;
std::exception_ptr heldAbort;
std::chrono::steady_clock::time_point heldUntil;

// A held abort whose grace has run out ends the wait.
void HonourExpiredAbort() {
    if (heldAbort && std::chrono::steady_clock::now() >= heldUntil)
        std::rethrow_exception(std::exchange(heldAbort, nullptr));
}

void CallAbortCheck() {
    if (abortCheck == nullptr || abortHolds > 0) return;
    if (deferScopes == 0) return abortCheck();
    try {
        abortCheck();
    } catch (...) {
        // A second abort while one is held: the user means it.
        if (heldAbort) {
            heldAbort = nullptr;
            throw;
        }
        heldAbort = std::current_exception();
        heldUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(deferGraceMs);
    }
    HonourExpiredAbort();
}

// Runs a system call, repeating it when a signal interrupted it, and records
// the error number the failure test reads.
template <class Call> int Checked(Call call) {
    int r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    WSASetLastError(r < 0 ? errno : 0);
    return r;
}
} // namespace

void SetSocketAbortCheck(TSocketAbortCheck check) {
    abortCheck = check;
}

void PollSocketAbort() {
    CallAbortCheck();
}

TSocketAbortHold::TSocketAbortHold() {
    ++abortHolds;
}

TSocketAbortHold::~TSocketAbortHold() {
    --abortHolds;
}

TSocketAbortDefer::TSocketAbortDefer(std::int32_t GraceMs) : uncaught_(std::uncaught_exceptions()) {
    if (deferScopes++ == 0) deferGraceMs = GraceMs;
}

TSocketAbortDefer::~TSocketAbortDefer() {
    if (--deferScopes == 0 && std::uncaught_exceptions() > uncaught_) heldAbort = nullptr;
}

std::exception_ptr TakeHeldAbort() {
    if (deferScopes > 0) return nullptr;
    return std::exchange(heldAbort, nullptr);
}

TAbsSocket::~TAbsSocket() {
    if (Handle != -1) {
        try {
            Disconnect();
        } catch (...) {
            // A destructor must not throw; the handle is gone either way.
        }
    }
}

void TAbsSocket::Disconnect() {
    if (Handle == -1) return;
    LogLine("Closing connection on socket " + std::to_string(Handle) + "...");
    if (closesocket() < 0 && WSAGetLastError() != EINTR)
        throw EAbsSocket::CreateError("Disconnect", WSAGetLastError());
    Handle = -1;
}

void TAbsSocket::LogLine(const std::string& Msg) const {
    if (OnLogLine) OnLogLine(Cut(Msg));
}

std::uint16_t TAbsSocket::ResolvePort(const std::string& PortText) {
    LogLine("Resolving port name " + PortText);
    int found = LookupService(PortText, ProtoName);
    if (found < 0) {
        LogLine("Cannot resolv; using port number " + PortText);
        std::int32_t number = StrToInt(PortText);
        if (number < 0 || number > 65535) ThrowRangeError();
        Port = number;
        return htons(static_cast<std::uint16_t>(number));
    }
    Port = found;
    LogLine("Resolved; port number " + std::to_string(Port));
    return htons(static_cast<std::uint16_t>(found));
}

int TAbsSocket::socket(int af, int type, int protocol) {
    Handle = Checked([&] { return ::socket(af, type | SOCK_CLOEXEC, protocol); });
    return Handle;
}

int TAbsSocket::connect(const sockaddr* addr, socklen_t len) {
    // A non-blocking connect interrupted by a signal goes on in the
    // background; repeating it would report EALREADY, so it is not repeated.
    int r = ::connect(Handle, addr, len);
    WSASetLastError(r < 0 ? (errno == EINTR ? EINPROGRESS : errno) : 0);
    return r;
}

int TAbsSocket::recv(void* buf, int len, int flags) {
    return Checked([&] {
        ++ReceiveCalls;
        return static_cast<int>(::recv(Handle, buf, static_cast<size_t>(len), flags));
    });
}

int TAbsSocket::send(const void* buf, int len, int flags) {
    return Checked([&] {
        return static_cast<int>(
            ::send(Handle, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL));
    });
}

int PollWithAbortCheck(pollfd* fds, std::size_t count, std::int64_t microseconds) {
    // poll() counts whole milliseconds: round up so that a short wait is not
    // turned into none.
    std::int64_t left = microseconds < 0 ? -1 : (microseconds + 999) / 1000;
    for (;;) {
        // Data that keeps coming must not stretch a held abort's grace.
        if (deferScopes > 0) HonourExpiredAbort();
        // A short wait (a poll for pending lines) needs no slicing.
        int slice = left < 0 || left > kAbortSliceMs ? kAbortSliceMs : static_cast<int>(left);
        int r = ::poll(fds, static_cast<nfds_t>(count), slice);
        if (r > 0 || (r < 0 && errno != EINTR)) {
            WSASetLastError(r < 0 ? errno : 0);
            return r;
        }
        if (r == 0 && left >= 0) left -= slice;
        if (left == 0) {
            WSASetLastError(0);
            return 0;
        }
        // A signal or a slice gone by: the user may want to stop waiting.
        CallAbortCheck();
    }
}

int TAbsSocket::select(int readCount, int writeCount, int exceptCount, std::int64_t microseconds) {
    pollfd p{};
    p.fd = Handle;
    if (readCount > 0) p.events |= POLLIN;
    if (writeCount > 0) p.events |= POLLOUT;
    if (exceptCount > 0) p.events |= POLLPRI;
    return PollWithAbortCheck(&p, 1, microseconds);
}

int TAbsSocket::closesocket() {
    // close() is never repeated: on Linux the descriptor is released even
    // when it reports EINTR.
    int r = ::close(Handle);
    WSASetLastError(r < 0 ? errno : 0);
    return r;
}

int TAbsSocket::bind(const sockaddr* addr, socklen_t len) {
    return Checked([&] { return ::bind(Handle, addr, len); });
}

int TAbsSocket::listen(int backlog) {
    return Checked([&] { return ::listen(Handle, backlog); });
}

int TAbsSocket::accept(sockaddr* addr, socklen_t* len) {
    return Checked([&] { return ::accept4(Handle, addr, len, SOCK_CLOEXEC | SOCK_NONBLOCK); });
}

int TAbsSocket::getpeername(sockaddr* addr, socklen_t* len) {
    return Checked([&] { return ::getpeername(Handle, addr, len); });
}

int TAbsSocket::getsockname(sockaddr* addr, socklen_t* len) {
    return Checked([&] { return ::getsockname(Handle, addr, len); });
}

int TAbsSocket::getsockopt(int level, int option, void* value, socklen_t* len) {
    return Checked([&] { return ::getsockopt(Handle, level, option, value, len); });
}

int TAbsSocket::setsockopt(int level, int option, const void* value, socklen_t len) {
    return Checked([&] { return ::setsockopt(Handle, level, option, value, len); });
}

int TAbsSocket::shutdown(int how) {
    return Checked([&] { return ::shutdown(Handle, how); });
}

} // namespace brix
