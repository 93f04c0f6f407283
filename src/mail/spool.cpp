#include "mail/spool.h"

#include "clients/md5.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"
#include "support/textfile.h"

namespace brix {

std::string LocalMailDomain() {
    return "@localhost";
}

std::string DefaultEnvelope() {
    // Every host must accept mail for its postmaster (RFC 5321, 4.5.1).
    return "postmaster@localhost";
}

std::string MailIdentifier(const std::string& uid, const std::string& user,
                           const std::string& server) {
    return "<" + uid + "@" + user + "." + server + ">";
}

std::string MessageIdIdentifier(const tbrix_msg& header) {
    std::string value = header.HeaderValue("Message-ID:");
    std::size_t open = value.find('<');
    std::size_t close = open == std::string::npos ? open : value.find('>', open);
    if (close != std::string::npos && close > open + 1) return value.substr(open, close - open + 1);
    std::string bare;
    for (char c : value)
        if (c != '<' && c != '>') bare += c;
    if (!bare.empty()) return "<" + bare + ">";
    std::string lines;
    for (const std::string& line : header) {
        if (line.empty()) break;
        lines += line;
        lines += "\r\n";
    }
    return "<" + DigestToHex(MD5String(lines)) + ">";
}

std::vector<std::string> MailboxForm(const std::vector<std::string>& message,
                                     const std::string& user) {
    std::vector<std::string> out;
    out.reserve(message.size() + 1);
    out.push_back("From " + user + LocalMailDomain());
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

std::string BatchedSmtpRecipient(const tbrix_msg& message, bool useEnvelope,
                                 const std::string& envelope) {
    if (!useEnvelope) return envelope.empty() ? DefaultEnvelope() : envelope;
    std::string to = message.HeaderValue("Envelope-To:");
    if (to.empty()) to = message.HeaderValue("X-Envelope-To:");
    return to;
}

std::vector<std::string> BatchedSmtpForm(const std::vector<std::string>& message,
                                         const std::string& server, const std::string& recipient) {
    std::vector<std::string> out;
    out.reserve(message.size() + 5);
    out.push_back("HELO " + server);
    out.push_back("RCPT TO:<" + recipient + ">");
    out.push_back("DATA");
    // The batch is read back as SMTP, where a line "." would end the message
    // (RFC 5321, 4.5.2).
    for (const std::string& line : message)
        out.push_back(!line.empty() && line.front() == '.' ? "." + line : line);
    out.push_back(".");
    out.push_back("QUIT");
    return out;
}

std::vector<std::string> SpoolForm(const tbrix_msg& message, bool batchedSmtp,
                                   const SpoolAccount& account) {
    if (!batchedSmtp) return MailboxForm(message, account.user);
    return BatchedSmtpForm(message, account.server,
                           BatchedSmtpRecipient(message, account.useEnvelope, account.envelope));
}

std::string SpoolFileName(const std::string& prefix, std::uint32_t counter) {
    return prefix + "m" + IntToBase(counter, 16, 4) + ".msg";
}

std::string SpoolTempName(const std::string& prefix, std::uint32_t counter) {
    return prefix + "m" + IntToBase(counter, 16, 4) + ".tmp";
}

bool SpoolNameTaken(const std::string& path) {
    return EntryExists(ResolveName(path));
}

std::string WriteSpoolFile(const std::string& prefix, std::uint32_t& counter,
                           const std::vector<std::string>& lines, bool sync) {
    while (SpoolNameTaken(SpoolFileName(prefix, counter)) ||
           EntryExists(SpoolTempName(prefix, counter)))
        ++counter;
    NewFile file(SpoolTempName(prefix, counter));
    try {
        file.Write(JoinLines(lines, true));
        if (sync) file.Sync();
    } catch (const EInOutError&) {
        // The temporary file goes with `file`; the message is still on the
        // server, since nothing has been recorded or deleted yet.
        throw EStringListError("Error: Savetofile");
    }
    // Someone may have taken the name meanwhile: never replace, move on.
    for (;;) {
        std::string name = SpoolFileName(prefix, counter);
        if (!SpoolNameTaken(name) && file.CommitAs(name)) {
            ++counter;
            if (sync) SyncDirectory(DirName(name));
            return name;
        }
        ++counter;
    }
}

} // namespace brix
