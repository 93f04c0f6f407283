#pragma once
// -check: what a run would use, read from the host reader's configuration
// and the named boxes, with every secret shown as "****". It touches no file
// (not even the run log or the lock) and no server.

namespace brix {

// Prints the report on the console; 0 when every box reads cleanly, else
// kExitCheckWarned.
int RunCheck();

} // namespace brix
