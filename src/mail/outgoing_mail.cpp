#include "mail/outgoing_mail.h"

#include "message/mailer_tag.h"
#include "platform/files.h"
#include "support/text.h"

namespace brix {

namespace {

bool StartsNoCase(std::string_view line, std::string_view word) {
    return line.size() >= word.size() && EqualsNoCase(line.substr(0, word.size()), word);
}

} // namespace

namespace {

// Cuts a byte stream into lines as its pieces arrive; a line may span pieces.
class LineSplitter {
  public:
    explicit LineSplitter(const std::function<void(std::string&)>& sink) : sink_(sink) {}
    void Feed(std::string_view bytes) {
        while (!bytes.empty()) {
            std::size_t end = bytes.find('\n');
            if (end == std::string_view::npos) {
                line_.append(bytes);
                return;
            }
            line_.append(bytes.substr(0, end));
            bytes.remove_prefix(end + 1);
            // Only CR LF or a bare LF ends a line; a lone CR is one of its
            // bytes.
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            Emit();
        }
    }
    void End() {
        if (!line_.empty()) Emit();
    }

  private:
    void Emit() {
        sink_(line_);
        line_.clear();
    }
    const std::function<void(std::string&)>& sink_;
    std::string line_;
};

} // namespace

void ForEachSpoolLine(const std::string& fileName,
                      const std::function<void(std::string& line)>& sink) {
    LineSplitter split(sink);
    ReadFileChunks(fileName, [&](std::string_view chunk) { split.Feed(chunk); });
    split.End();
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
