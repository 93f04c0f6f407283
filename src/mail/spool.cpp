#include "mail/spool.h"

#include "clients/md5.h"
#include "context/log.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "support/dot_stuffing.h"
#include "support/errors.h"
#include "support/text.h"

#include <cctype>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

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

bool IsPop3DefaultPort(const std::string& port) {
    return port.empty() || port == "110" || port == "995" || port == "pop3" || port == "pop3s";
}

std::string MailIdentifier(const std::string& uid, const std::string& user,
                           const std::string& server, const std::string& port) {
    if (IsPop3DefaultPort(port)) return MailIdentifier(uid, user, server);
    return "<" + uid + "@" + user + "." + server + ":" + port + ">";
}

std::string AccountSuffix(const std::string& user, const std::string& server,
                          const std::string& port) {
    return "@" + user + "." + server + (IsPop3DefaultPort(port) ? "" : ":" + port) + ">";
}

MailJournal::~MailJournal() = default;

void MailJournal::Record(const std::string& tempPath, bool byMessageId, const std::string& id) {
    if (!file_) file_ = std::make_unique<AppendFile>(path_);
    file_->Append(tempPath + "\t" + (byMessageId ? "I" : "U") + "\t" + id + "\n");
}

void MailJournal::Clear() {
    file_.reset();
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) ThrowInOutError(path_, errno);
}

std::vector<MailJournal::Entry> MailJournal::Recover(const std::string& path) {
    std::vector<Entry> entries;
    if (!EntryExists(path)) return entries;
    for (const std::string& line : SplitLines(ReadFileBytes(path))) {
        const std::size_t a = line.find('\t');
        const std::size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos || b + 1 >= line.size()) continue; // a line cut by the kill
        const std::string temp = line.substr(0, a);
        // Still there under its temporary name, and not linked elsewhere:
        // it never reached the spool.
        struct stat st {};
        if (::lstat(temp.c_str(), &st) == 0 && st.st_nlink < 2) continue;
        entries.push_back({line.compare(a + 1, b - a - 1, "I") == 0, line.substr(b + 1)});
    }
    return entries;
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
    for (const std::string& line : header.Lines) {
        if (line.empty()) break;
        lines += line;
        lines += "\r\n";
    }
    return "<" + DigestToHex(MD5String(lines)) + ">";
}

std::string BatchedSmtpRecipient(const tbrix_msg& message, bool useEnvelope,
                                 const std::string& envelope) {
    if (!useEnvelope) return envelope.empty() ? DefaultEnvelope() : envelope;
    std::string to = message.HeaderValue("Envelope-To:");
    if (to.empty()) to = message.HeaderValue("X-Envelope-To:");
    return to;
}

namespace {
// Header bytes held for the recipient at most; a header without end beyond
// this is written out as it stands.
constexpr std::size_t kMaxHeldHeader = 1u << 20;
// Bytes gathered before one write to the spool file.
constexpr std::size_t kWriteChunk = 64u << 10;
} // namespace

SpoolFormer::SpoolFormer(bool batchedSmtp, const SpoolAccount& account, Output out)
    : batched_(batchedSmtp), account_(account), out_(std::move(out)), inHeader_(batchedSmtp) {
    if (!batched_) out_("From " + account_.user + LocalMailDomain());
}

void SpoolFormer::Line(const std::string& line) {
    if (!inHeader_) return Body(line);
    header_.Lines.push_back(line);
    headerBytes_ += line.size() + 1;
    if (line.empty() || headerBytes_ > kMaxHeldHeader) StartBody();
}

void SpoolFormer::StartBody() {
    inHeader_ = false;
    out_("HELO " + account_.server);
    out_("RCPT TO:<" + BatchedSmtpRecipient(header_, account_.useEnvelope, account_.envelope) +
         ">");
    out_("DATA");
    for (const std::string& h : header_.Lines)
        Body(h);
    header_.Lines.clear();
}

void SpoolFormer::Body(const std::string& line) {
    // The batch is read back as SMTP, where a line "." would end the message
    // (RFC 5321, 4.5.2).
    out_(batched_ ? Stuffed(line) : line);
}

void SpoolFormer::End() {
    if (!batched_) return;
    if (inHeader_) StartBody();
    out_(".");
    out_("QUIT");
}

std::string SpoolFileName(const std::string& prefix, std::uint32_t counter) {
    return prefix + "m" + IntToBase(counter, 16, 4) + ".msg";
}

std::string SpoolTempName(const std::string& prefix, std::uint32_t counter,
                          const std::string& suffix) {
    return prefix + "m" + IntToBase(counter, 16, 4) + suffix;
}

namespace {
// lead + "m" + at least four hexadecimal digits + suffix, as SpoolTempName
// forms them.
bool IsSpoolTempName(const std::string& name, const std::string& lead, const std::string& suffix) {
    const std::size_t digits = name.size() - lead.size() - 1 - suffix.size();
    if (name.size() < lead.size() + 5 + suffix.size() || name.compare(0, lead.size(), lead) != 0 ||
        name[lead.size()] != 'm' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    for (std::size_t i = 0; i < digits; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[lead.size() + 1 + i]))) return false;
    return true;
}
} // namespace

SpoolNames& SpoolNamesOf(std::map<std::string, SpoolNames>& spools, const std::string& prefix,
                         const std::string& tempSuffix) {
    auto it = spools.find(prefix);
    if (it != spools.end()) return it->second;
    it = spools.try_emplace(prefix, prefix, tempSuffix).first;
    for (const std::string& name : it->second.Removed)
        WriteLog("removed unfinished spool file " + name, 1);
    return it->second;
}

SpoolNames::SpoolNames(const std::string& prefix, std::string tempSuffix)
    : prefix_(prefix), tempSuffix_(std::move(tempSuffix)) {
    const std::string dir = DirName(prefix);
    const std::string lead = prefix.substr(dir.size());
    for (const std::string& name : ListDirectory(dir)) {
        // Only a killed run leaves these: each run removes its own.
        if (IsSpoolTempName(name, lead, tempSuffix_) && ::unlink((dir + name).c_str()) == 0) {
            Removed.push_back(dir + name);
            continue;
        }
        upper_.insert(UpperAscii(name));
    }
}

bool SpoolNames::Taken(const std::string& path) const {
    return upper_.count(UpperAscii(path.substr(DirName(path).size()))) != 0;
}

void SpoolNames::Take(const std::string& path) {
    upper_.insert(UpperAscii(path.substr(DirName(path).size())));
}

SpoolFile::SpoolFile(SpoolNames& names, std::uint32_t& counter) : names_(names), counter_(counter) {
    for (;; ++counter_) {
        const std::string temp = SpoolTempName(names_.Prefix(), counter_, names_.TempSuffix());
        if (names_.Taken(SpoolFileName(names_.Prefix(), counter_)) || names_.Taken(temp)) continue;
        file_ = NewFile::CreateExclusive(temp);
        if (file_) break;
        names_.Take(temp); // someone else's
    }
    buffer_.reserve(kWriteChunk + 4096);
}

void SpoolFile::Drain() {
    try {
        file_->Write(buffer_);
    } catch (const EInOutError& e) {
        // The temporary file goes with file_; the message is still on the
        // server, since nothing has been recorded or deleted yet.
        throw EStringListError("Error: Savetofile: " + e.Message());
    }
    buffer_.clear();
}

void SpoolFile::Line(std::string_view line) {
    buffer_.append(line);
    buffer_ += '\n';
    if (buffer_.size() >= kWriteChunk) Drain();
}

std::string SpoolFile::Commit(const std::function<void(const std::string& TempPath)>& BeforeLink) {
    if (!buffer_.empty()) Drain();
    if (BeforeLink) BeforeLink(file_->TempPath());
    // Someone may have taken the name meanwhile: never replace, move on.
    for (;;) {
        std::string name = SpoolFileName(names_.Prefix(), counter_);
        ++counter_;
        if (!names_.Taken(name) && file_->CommitAs(name)) {
            names_.Take(name);
            return name;
        }
        names_.Take(name);
    }
}

} // namespace brix
