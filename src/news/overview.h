#pragma once
// What the news jobs read from the overview lines of a group and from the
// Message-IDs of the reader's requests.

#include "clients/abs_client.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace brix {

// Loops over what a server sent (overview lines, list lines, request
// records) check for the user's abort at least this often, so that no
// answer, however long, keeps the user waiting.
constexpr std::size_t kLinesPerAbortCheck = 4096;

// A Message-ID as the client's commands take it: without its angle brackets.
std::string WithoutBrackets(std::string id);

// The nine header lines built from an overview line (RFC 2980 section 2.8:
// number, subject, from, date, message-id, references, bytes, lines,
// separated by TAB), for group: "X-Message-Number: ", "Newsgroups: ",
// "Subject: ", "From: ", "Date: ", "Message-ID: ", "References: ",
// "X-Messagelength: ", "Lines: ". Missing fields are empty. No empty line.
void OverviewToHeader(TStrings& Lines, const std::string& Group, const std::string& Overview);
// The article number before the first TAB; false when it is not a
// non-negative 64-bit number.
bool OverviewNumber(const std::string& Overview, std::int64_t& Number);

} // namespace brix
