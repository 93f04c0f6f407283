#pragma once
// The user abort: ESC (or an interrupt signal) stops the running job at its
// next safe point.

#include "support/errors.h"

#include <atomic>
#include <cstdint>

namespace brix {

BRIX_EXCEPTION_CLASS(ebrix_break, Exception);

// Milliseconds a stopped job still waits for the server's answer to its
// goodbye (QUIT), so that a hanging server does not hold the user a whole
// time-out longer.
constexpr std::int32_t kGoodbyeWait = 5'000;

// Reads every waiting key; raises ebrix_break("aborted by user ...") with a
// bell when the first of them was ESC, or when SIGINT, SIGTERM or SIGHUP
// arrived since the last check.
void CheckUserAbort();

// How often the program's own thread has raised the user's abort so far.
std::uint64_t AbortsSoFar();

// For its lifetime, the thread that makes one (a connection opened ahead of
// its turn) hears of the user's abort only from the program's thread: its
// CheckUserAbort reads no key, takes no signal and rings no bell (all of
// them belong to the program's thread), and raises ebrix_break once that
// thread has raised one since `since` (AbortsSoFar), or once `cancel` is set.
class TAbortFromOwner {
  public:
    TAbortFromOwner(std::uint64_t since, const std::atomic<bool>& cancel);
    ~TAbortFromOwner();
    TAbortFromOwner(const TAbortFromOwner&) = delete;
    TAbortFromOwner& operator=(const TAbortFromOwner&) = delete;
};

} // namespace brix
