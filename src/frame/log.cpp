#include "frame/log.h"

#include "frame/settings.h"
#include "platform/console.h"
#include "support/textfile.h"

namespace brix {

namespace {
bool gScreenShown = false;
}

void SetLogScreenShown(bool shown) {
    gScreenShown = shown;
}

std::string RunLogPath() {
    return Settings().LogDir + "qv-ppp.log";
}
std::string BoxLogPath() {
    return Settings().LogDir + Settings().CurrentBox + ".log";
}

void WriteLog(const std::string& message, int level) {
    const RunSettings& s = Settings();
    if (!gScreenShown && (s.VerboseMode || (level & 1))) TheConsole().WriteLine(message);
    if (level & 1) AppendStampedLine(RunLogPath(), message);
    if ((level & 2) && s.DebugLevel > 0) AppendLine(BoxLogPath(), message);
}

void LogProtocolLine(const std::string& line) {
    if (Settings().VerboseMode) TheConsole().WriteLine(line);
    AppendLine(BoxLogPath(), line);
}

} // namespace brix
