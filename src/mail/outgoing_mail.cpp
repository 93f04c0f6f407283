#include "mail/outgoing_mail.h"

#include "platform/files.h"
#include "support/text.h"

namespace brix {

namespace {

bool StartsNoCase(std::string_view line, std::string_view word) {
    return line.size() >= word.size() && EqualsNoCase(line.substr(0, word.size()), word);
}

} // namespace

std::vector<std::string> SplitSpoolLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(bytes.substr(start));
            break;
        }
        lines.emplace_back(bytes.substr(start, end - start));
        start = end + 1;
        if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
    }
    return lines;
}

std::vector<std::string> ReadSpoolLines(const std::string& fileName) {
    return SplitSpoolLines(ReadFileBytes(fileName));
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
