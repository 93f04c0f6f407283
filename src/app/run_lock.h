#pragma once
// One run at a time on a host reader's tree: two runs writing the same spool
// and state files would interleave their spool names and overwrite each
// other's state.

#include <string>

namespace brix {

// Exit code of a run that could not get the tree because another run held it
// for the whole wait (or the user stopped the wait).
constexpr int kLockedExitCode = 104;

// Takes an exclusive flock on Dir + kLockFileName (created when missing) and
// keeps it until the process ends; the kernel drops it when the process
// dies, so a killed run never blocks the next one. While another run holds
// it, waits up to WaitSeconds, checking ESC and the signals, then ends the
// process with kLockedExitCode and a message. A lock file that cannot be
// opened ends the process with exit code 2, naming the file.
void LockReaderTree(const std::string& Dir, int WaitSeconds);

constexpr const char* kLockFileName = "brix.lock";

// The wait: 60 seconds, or BRIX_LOCK_WAIT seconds when that holds a number
// (for tests).
int LockWaitSeconds();

} // namespace brix
