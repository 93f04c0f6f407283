#pragma once
// The user abort: ESC (or an interrupt signal) stops the running job at its
// next safe point.

#include "support/errors.h"

namespace brix {

BRIX_EXCEPTION_CLASS(ebrix_break, Exception);

// Reads every waiting key; raises ebrix_break("aborted by user ...") with a
// bell when the first of them was ESC, or when SIGINT, SIGTERM or SIGHUP
// arrived since the last check.
void CheckUserAbort();

} // namespace brix
