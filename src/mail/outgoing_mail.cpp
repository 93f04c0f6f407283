#include "mail/outgoing_mail.h"

#include "message/mailer_tag.h"
#include "platform/files.h"
#include "support/text.h"

namespace brix {

namespace {

bool StartsNoCase(std::string_view line, std::string_view word) {
    return line.size() >= word.size() && EqualsNoCase(line.substr(0, word.size()), word);
}

using LineSink = std::function<void(std::string& line, ByteRange bytes)>;

// Cuts a byte stream into lines as its pieces arrive; a line may span pieces.
class LineSplitter {
  public:
    explicit LineSplitter(const LineSink& sink) : sink_(sink) {}
    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            std::size_t end = bytes.find('\n');
            if (end == std::string_view::npos) {
                line_.append(bytes);
                at_ += bytes.size();
                return;
            }
            line_.append(bytes.substr(0, end));
            bytes.remove_prefix(end + 1);
            at_ += end + 1;
            // Only CR LF or a bare LF ends a line; a lone CR is one of its
            // bytes.
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            Emit();
        }
    }
    void End() {
        if (at_ > begin_) Emit();
    }

  private:
    void Emit() {
        sink_(line_, {begin_, at_});
        line_.clear();
        begin_ = at_;
    }
    const LineSink& sink_;
    std::string line_;
    std::uint64_t begin_ = 0, at_ = 0;
};

// A byte that would end or break a command line on the wire.
bool HasControl(std::string_view text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f) return true;
    }
    return false;
}

std::string LineNo(std::size_t line) {
    return "line " + std::to_string(line + 1);
}

} // namespace

void ForEachSpoolLineAt(const std::string& fileName, const LineSink& sink) {
    LineSplitter split(sink);
    ReadFileChunks(fileName, [&](std::string_view chunk) { split.Feed(chunk); });
    split.End();
}

void ForEachSpoolLine(const std::string& fileName,
                      const std::function<void(std::string& line)>& sink) {
    ForEachSpoolLineAt(fileName, [&](std::string& line, ByteRange) { sink(line); });
}

std::string StripAddress(std::string_view text) {
    std::string a = Trimmed(text);
    if (!a.empty() && a.front() == '<') a.erase(0, 1);
    if (!a.empty() && a.back() == '>') a.pop_back();
    return a;
}

OutCommandLine ParseCommandLine(std::string_view line) {
    OutCommandLine out;
    if (StartsNoCase(line, "HELO")) {
        out.command = OutCommand::Helo;
        out.argument = Trimmed(line.substr(4));
    } else if (StartsNoCase(line, "MAIL FROM:")) {
        out.command = OutCommand::MailFrom;
        out.argument = StripAddress(line.substr(10));
    } else if (StartsNoCase(line, "RCPT TO:")) {
        out.command = OutCommand::RcptTo;
        out.argument = StripAddress(line.substr(8));
    } else if (StartsNoCase(line, "DATA")) {
        out.command = OutCommand::Data;
    }
    return out;
}

void OutFileScanner::Fail(std::string why) {
    if (file_.error.empty()) file_.error = std::move(why);
}

bool OutFileScanner::Sendable(const std::string& argument, bool address) {
    std::string why;
    if (HasControl(argument))
        why = "a control character";
    else if (address && argument.find_first_of("<>") != std::string::npos)
        why = "an address with \"<\" or \">\" inside";
    if (!why.empty()) Fail(LineNo(line_) + " cannot be read as a command (" + why + ")");
    return why.empty();
}

void OutFileScanner::Line(std::string_view line, ByteRange bytes) {
    file_.size = bytes.end;
    const std::size_t n = line_;
    if (!file_.error.empty()) return;
    if (state_ == State::Text) {
        if (line == ".") {
            open_.bytes.end = bytes.end;
            file_.messages.push_back(std::move(open_));
            open_ = {};
            state_ = State::Between;
        }
        ++line_;
        return;
    }
    OutCommandLine cmd = ParseCommandLine(line);
    switch (cmd.command) {
    case OutCommand::Helo:
        if (!file_.heloLine && Sendable(cmd.argument, false)) {
            file_.heloLine = n;
            file_.helo = cmd.argument;
        }
        break;
    case OutCommand::MailFrom:
        if (state_ == State::Envelope) {
            Fail("the message of " + LineNo(openLine_) + " has no DATA line");
        } else if (Sendable(cmd.argument, true)) {
            state_ = State::Envelope;
            open_.from = cmd.argument;
            open_.bytes.begin = bytes.begin;
            openLine_ = n;
        }
        break;
    case OutCommand::RcptTo:
        if (state_ != State::Envelope)
            Fail(LineNo(n) + ": RCPT TO: outside a message (no MAIL FROM: before it)");
        else if (cmd.argument.empty())
            Fail(LineNo(n) + " cannot be read as a command (RCPT TO: without an address)");
        else if (Sendable(cmd.argument, true))
            open_.to.push_back(cmd.argument);
        break;
    case OutCommand::Data:
        if (state_ != State::Envelope) {
            Fail(LineNo(n) + ": DATA outside a message (no MAIL FROM: before it)");
        } else if (open_.to.empty()) {
            Fail("the message of " + LineNo(openLine_) + " has no RCPT TO: line");
        } else {
            state_ = State::Text;
            open_.dataLine = n;
            openLine_ = n;
        }
        break;
    case OutCommand::Other:
        // A command the design passes over (QUIT, RSET, an empty line) goes
        // nowhere; one that looks like an envelope line but is not would
        // lose a sender or a recipient without a word.
        if (StartsNoCase(line, "MAIL") || StartsNoCase(line, "RCPT"))
            Fail(LineNo(n) + " cannot be read as a command (MAIL FROM: or RCPT TO: expected)");
        break;
    }
    ++line_;
}

OutFile OutFileScanner::End() {
    if (state_ == State::Envelope)
        Fail("the message of " + LineNo(openLine_) + " has no DATA line");
    else if (state_ == State::Text)
        Fail("the message text after " + LineNo(openLine_) + " (DATA) has no final \".\" line");
    else if (file_.messages.empty())
        Fail("no message in it (no MAIL FROM: line)");
    return std::move(file_);
}

OutFile ScanOutgoing(std::string_view bytes) {
    OutFileScanner scan;
    LineSink sink = [&](std::string& line, ByteRange at) { scan.Line(line, at); };
    LineSplitter split(sink);
    split.Feed(bytes);
    split.End();
    return scan.End();
}

OutFile ReadOutgoingFile(const std::string& path) {
    OutFileScanner scan;
    ForEachSpoolLineAt(path, [&](std::string& line, ByteRange at) { scan.Line(line, at); });
    return scan.End();
}

std::vector<ByteRange> UnsentParts(const OutFile& file, std::size_t accepted) {
    if (accepted == 0 || file.messages.empty()) return {{0, file.size}};
    if (accepted >= file.messages.size()) return {};
    return {{0, file.messages.front().bytes.begin},
            {file.messages[accepted].bytes.begin, file.size}};
}

OutTextLine ApplyTextRules(const std::string& line, bool& inHeader) {
    OutTextLine out;
    if (line == ".") {
        out.endsMessage = true;
        inHeader = true;
        out.text = line;
    } else if (inHeader && line.rfind("X-Mailer: ", 0) == 0) {
        // Header lines may be long (RFC 5322 allows 998 characters), so the
        // line is kept whole rather than cut to a short text.
        out.text = line + ", via " + kMailerTag;
    } else {
        if (line.empty()) inHeader = false;
        out.text = line;
    }
    return out;
}

} // namespace brix
