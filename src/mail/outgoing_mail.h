#pragma once
// Reading the outgoing mail files "m*.out" that the host reader leaves in
// the spool: small SMTP batches (HELO, MAIL FROM:, RCPT TO:, DATA, the
// message text, ".", usually QUIT) replayed by the send job.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

// The lines of the file, each passed to sink as it is read, so that a large
// message is never held whole; raises EInOutError when it cannot be read. A
// line ends at CR LF or at a lone LF (a lone CR is part of the line); a last
// line without an end counts. Lines are kept whole.
void ForEachSpoolLine(const std::string& fileName,
                      const std::function<void(std::string& line)>& sink);

// A command line of the batch (outside the message text).
enum class OutCommand { Helo, MailFrom, RcptTo, Data, Other };

struct OutCommandLine {
    OutCommand command = OutCommand::Other;
    // Helo: the domain; MailFrom, RcptTo: the address without one "<" and one
    // ">"; otherwise "".
    std::string argument;
};

// Recognises "HELO", "MAIL FROM:", "RCPT TO:" and "DATA" at the very start
// of the line in any letter case; anything else (QUIT, RSET, empty lines) is
// Other. Arguments are trimmed of blanks and tabs.
OutCommandLine ParseCommandLine(std::string_view line);
// Trimmed, then one leading "<" and one trailing ">" removed.
std::string StripAddress(std::string_view text);

// One line of the message text (between DATA and its "." line).
struct OutTextLine {
    std::string text;         // the line to write, without line end
    bool endsMessage = false; // the line is the terminating "."
};

// Applies the text rules to one line. inHeader is the caller's flag, true at
// connect and after each terminating "."; an empty line ends the header, the
// "." line starts the next one. An "X-Mailer: " line of the header gets
// ", via " + kMailerTag appended. Other lines are sent unchanged: the host
// reader's batch is dot-stuffed already.
OutTextLine ApplyTextRules(const std::string& line, bool& inHeader);

} // namespace brix
