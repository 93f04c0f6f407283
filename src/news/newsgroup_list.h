#pragma once
// The newsgroup list job: keeps the box's list of the server's newsgroups
// (QvPath + box + ".bl") for the host reader. The first run fetches the whole
// list; later runs ask only for the groups created since the time in the
// file's marker line and merge them in.

#include "context/config.h"
#include "platform/clock.h"

#include <functional>
#include <string>
#include <vector>

namespace brix {

constexpr const char* kNewGroupsMarker = "!new_groups:";

// "!new_groups:" + "yymmdd hhnnss" of t.
std::string NewGroupsMarkerLine(const LocalTime& t);
// The line begins with "!new_groups:".
bool IsNewGroupsMarker(const std::string& line);
// The time of a marker line: two-digit year (below 80 is 20yy, else 19yy),
// month, day, a blank, hour, minute, second. False when the line is too
// short or a field is no number in its range.
bool ParseNewGroupsMarker(const std::string& line, LocalTime& t);

// Merges the lines of a NEWGROUPS answer into the list: a line whose group
// name (first blank-separated word) is listed already replaces that line, so
// no group is listed twice; the others are added. Then the whole list is
// sorted, stable, by bytes with ASCII letters folded to lower case. `every`
// (the user's abort check) is called every few thousand lines.
void MergeNewGroups(std::vector<std::string>& list, const std::vector<std::string>& added,
                    const std::function<void()>& every = {});

// The job. Does nothing unless the box has NNTPLIST on. Client, socket and
// abort errors are logged as the job's error and end it; the list file is
// replaced only after a complete answer, in one atomic step.
void GetNewsgroupList(tbrixconfig& box);

} // namespace brix
