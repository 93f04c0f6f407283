#pragma once
// Process-wide terminal state: what must be restored on every way out
// (cursor, keyboard mode), and the signals that act like ESC.

namespace brix {

// Installs the exit and signal handlers once; safe to call more than once.
void InstallTerminalGuards();
// Puts standard input (when a terminal) into non-canonical, no-echo mode.
void EnterRawKeyboard();
// Restores keyboard mode and cursor; async-signal-safe.
void RestoreTerminal() noexcept;
// True once SIGINT, SIGTERM or SIGHUP arrived since the last call; clears it.
bool TakeAbortSignal() noexcept;
// Whether SIGINT, SIGTERM or SIGHUP came at all in this run (taken or not).
bool SignalArrived() noexcept;
// Marks the cursor as hidden on the terminal (so that exit shows it again).
void NoteCursorHidden(bool hidden) noexcept;
// Ends the process: restores the terminal, flushes, exits with code.
[[noreturn]] void ExitProgram(int code);

} // namespace brix
