#include "platform/textfile.h"

#include "platform/durable.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace brix {

std::string StampPrefix(const LocalTime& t) {
    return IntToBase(t.day, 10, 2) + "." + IntToBase(t.month, 10, 2) + "." +
           IntToBase(t.year, 10, 4) + " " + IntToBase(t.hour, 10, 2) + ":" +
           IntToBase(t.minute, 10, 2) + ":" + IntToBase(t.second, 10, 2) + " ";
}

void AppendLine(const std::string& file, const std::string& line, bool ownerOnly) {
    AppendWhole(ResolveName(file), Cut(line) + "\r\n", ownerOnly ? 0600 : 0644);
}

void AppendStampedLine(const std::string& file, const std::string& text, bool ownerOnly) {
    AppendLine(file, StampPrefix(TheClock().Now()) + text, ownerOnly);
}

std::string JoinLines(const std::vector<std::string>& lines, bool lfOnly) {
    std::size_t total = 0;
    for (const auto& l : lines)
        total += l.size() + 2;
    std::string out;
    out.reserve(total);
    for (const auto& l : lines) {
        out += l;
        out += lfOnly ? "\n" : "\r\n";
    }
    return out;
}

} // namespace brix
