#pragma once
// Line-oriented text files: logs and string lists written to disk.

#include "platform/clock.h"

#include <string>
#include <vector>

namespace brix {

// "dd.mm.yyyy hh:nn:ss " for a local time.
std::string StampPrefix(const LocalTime& t);
// Appends the line and CR LF; the line is cut at 255 characters. Creates the
// file when needed (readable by its owner only with ownerOnly); raises
// EInOutError on failure.
void AppendLine(const std::string& file, const std::string& line, bool ownerOnly = false);
// AppendLine with the local time stamp in front (cut at 255 as a whole).
void AppendStampedLine(const std::string& file, const std::string& text, bool ownerOnly = false);
// Every line whole, followed by LF or CR LF: a string list as a file holds it.
std::string JoinLines(const std::vector<std::string>& lines, bool lfOnly);

} // namespace brix
