#pragma once
// The user abort: ESC (or an interrupt signal) stops the running job at its
// next safe point.

#include "support/errors.h"

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

} // namespace brix
