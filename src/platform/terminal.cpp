#include "platform/terminal.h"

#include "platform/program_end.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <termios.h>
#include <unistd.h>

namespace brix {

namespace {
volatile std::sig_atomic_t gSignals = 0;
volatile std::sig_atomic_t gAbortPending = 0;
volatile std::sig_atomic_t gCursorHidden = 0;
volatile std::sig_atomic_t gKeyboardRaw = 0;
termios gSavedTermios{};
bool gInstalled = false;

void OnSignal(int) {
    if (gSignals > 0) {
        // A second signal: the user means it. End at once, terminal restored.
        RestoreTerminal();
        _exit(kExitStopped);
    }
    gSignals = 1;
    gAbortPending = 1;
}

void AtExit() {
    RestoreTerminal();
}
} // namespace

void InstallTerminalGuards() {
    if (gInstalled) return;
    gInstalled = true;
    std::atexit(AtExit);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a wait should notice the abort early
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A write to a closed connection must surface as an error, not kill us.
    std::signal(SIGPIPE, SIG_IGN);
}

void EnterRawKeyboard() {
    if (gKeyboardRaw || ::isatty(STDIN_FILENO) != 1) return;
    if (tcgetattr(STDIN_FILENO, &gSavedTermios) != 0) return;
    termios raw = gSavedTermios;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) gKeyboardRaw = 1;
}

void RestoreTerminal() noexcept {
    if (gKeyboardRaw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTermios);
        gKeyboardRaw = 0;
    }
    if (gCursorHidden) {
        static const char kShow[] = "\x1b[?25h";
        ssize_t r = ::write(STDOUT_FILENO, kShow, sizeof kShow - 1);
        (void)r;
        gCursorHidden = 0;
    }
}

bool TakeAbortSignal() noexcept {
    if (!gAbortPending) return false;
    gAbortPending = 0;
    return true;
}

bool SignalArrived() noexcept {
    return gSignals > 0;
}

void NoteCursorHidden(bool hidden) noexcept {
    gCursorHidden = hidden ? 1 : 0;
}

void ExitProgram(int code) {
    std::fflush(stdout);
    RestoreTerminal();
    std::exit(code);
}

} // namespace brix
