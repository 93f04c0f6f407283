#include "app/program.h"

#include "app/check.h"
#include "app/jobs.h"
#include "app/run_boxes.h"
#include "app/run_lock.h"
#include "app/startup.h"
#include "context/abort.h"
#include "context/log.h"
#include "context/settings.h"
#include "display/status_lines.h"
#include "net/abs_socket.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/terminal.h"
#include "support/language.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace brix {

int ProgramMain(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    SetLanguage(ChooseLanguage(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                               std::getenv("LC_MESSAGES"), std::getenv("LANG")));
    InstallTerminalGuards();
    SetNewsStartTime(TheClock().UnixNow());
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        ParseCommandLine(args);
        if (Settings().CheckOnly) {
            const int code = RunCheck();
            CursorOn();
            std::fflush(stdout);
            RestoreTerminal();
            return code;
        }
        EnterRawKeyboard();
        LockReaderTree(Settings().QvPath, LockWaitSeconds());
        // A job waiting for a server stops on ESC or a signal like any other.
        SetSocketAbortCheck(&CheckUserAbort);
        ProgramJobs jobs;
        RunBoxesReported(jobs);
    } catch (const std::exception& e) {
        // Only what even the report could not write (an unwritable run log)
        // ends up here.
        ShowFatal(std::string("brix: ") + e.what());
        std::fflush(stdout);
        RestoreTerminal();
        return 2;
    }
    // A signal after the last job's last abort check stopped nothing, but
    // the one who sent it should hear that the run did not finish for it.
    if (SignalArrived()) NoteStopped();
    CloseRunLog(RunExitCode());
    CursorOn();
    RestoreTerminal();
    return RunExitCode();
}

} // namespace brix
