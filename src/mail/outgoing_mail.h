#pragma once
// Reading the outgoing mail files "m*.out" that the host reader leaves in
// the spool: small SMTP batches (HELO, MAIL FROM:, RCPT TO:, DATA, the
// message text, ".", usually QUIT) replayed by the send job.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

// Bytes [begin, end) of a file.
struct ByteRange {
    std::uint64_t begin = 0, end = 0;
    bool operator==(const ByteRange&) const = default;
};

// The lines of the file, each passed to sink as it is read, so that a large
// message is never held whole; raises EInOutError when it cannot be read. A
// line ends at CR LF or at a lone LF (a lone CR is part of the line); a last
// line without an end counts. Lines are kept whole.
void ForEachSpoolLine(const std::string& fileName,
                      const std::function<void(std::string& line)>& sink);
// The same, with where each line lies in the file (its line end included).
void ForEachSpoolLineAt(const std::string& fileName,
                        const std::function<void(std::string& line, ByteRange bytes)>& sink);

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

// One message of an outgoing file.
struct OutMessage {
    std::string from;            // of MAIL FROM:, bare; "" for the null sender
    std::vector<std::string> to; // of the RCPT TO: lines, in their order
    std::size_t dataLine = 0;    // the DATA line (counted from 0); the text follows
                                 // it up to the next line that is exactly "."
    ByteRange bytes;             // from its MAIL FROM: line to the end of its "." line
};

// An outgoing file as a whole, read before anything of it is sent: a file
// the server could only get in part (a message without DATA or without its
// final ".", a command line that cannot be read) is refused whole, so that
// the dialogue never stops halfway inside a message.
struct OutFile {
    std::optional<std::size_t> heloLine; // the first HELO line outside a text
    std::string helo;                    // its domain
    std::vector<OutMessage> messages;
    std::uint64_t size = 0;
    // What is wrong with it, naming the line; "" when it can be sent.
    std::string error;
};

// Reads an outgoing file line by line (each line with where it lies), then
// End; no I/O. After the first fault the rest is passed over.
class OutFileScanner {
  public:
    void Line(std::string_view line, ByteRange bytes);
    OutFile End();

  private:
    void Fail(std::string why);
    // The argument of a command line that goes to the server; fails when
    // it cannot go there as it is.
    bool Sendable(const std::string& argument, bool address);
    enum class State { Between, Envelope, Text };
    State state_ = State::Between;
    OutFile file_;
    OutMessage open_;
    std::size_t line_ = 0;     // the line being read, from 0
    std::size_t openLine_ = 0; // the open message's MAIL FROM: (or DATA) line
};

// The scan of a whole file's bytes, split as ForEachSpoolLine splits them.
OutFile ScanOutgoing(std::string_view bytes);
// The scan of a file on disk; raises EInOutError when it cannot be read.
OutFile ReadOutgoingFile(const std::string& path);

// The parts of a file to keep when the server accepted its first `accepted`
// messages and no other: what comes before the first message (the HELO
// line), then everything from the first message not accepted on (the rest
// of the messages as they were, and the QUIT line after them).
std::vector<ByteRange> UnsentParts(const OutFile& file, std::size_t accepted);

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
