#pragma once
// Fetched mail as the host reader imports it: one file per message, in
// mailbox form ("From " line first) or as a batched-SMTP file, every line
// ended by a single LF.

#include "message/msg.h"
#include "platform/durable.h"
#include "platform/files.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace brix {

// The at-sign and the local loopback host that follow the user on the
// "From " line of the mailbox form.
std::string LocalMailDomain();
// Recipient of batched-SMTP files when POP3ENVELOPE is empty.
std::string DefaultEnvelope();

// State files of the mail fetch in the host reader's directory.
constexpr const char* kUidFileName = "e-mail.uid";
constexpr const char* kIdxFileName = "e-mail.idx";

// "<" + uid + "@" + user + "." + server + ">": the identifier of a message
// in the UID file; the server keeps equal users of two servers apart.
std::string MailIdentifier(const std::string& uid, const std::string& user,
                           const std::string& server);
// The same for an account reached on port: on a port other than POP3's own
// (110, 995) the port is part of it, "<uid@user.server:port>", so that two
// accounts behind one host name (tunnels on localhost, two ports of one
// provider) keep their messages apart.
std::string MailIdentifier(const std::string& uid, const std::string& user,
                           const std::string& server, const std::string& port);
// What every identifier of that account ends with, for the clean-up.
std::string AccountSuffix(const std::string& user, const std::string& server,
                          const std::string& port);
// POP3's own ports, under which identifiers name no port.
bool IsPop3DefaultPort(const std::string& port);

// Identifiers whose spool files are about to take their final names: a line
// per message is appended, with the file's temporary name, just before the
// rename, so that a run killed at any moment leaves no message both in the
// spool and unknown. The next run reads the journal before anything else:
// an entry whose temporary file is gone made it to the spool (one whose
// temporary file is still there did not), and its identifier is kept. The
// journal is emptied whenever the identifier files are saved.
class MailJournal {
  public:
    struct Entry {
        bool byMessageId = false; // e-mail.idx, else e-mail.uid
        std::string id;
    };
    explicit MailJournal(std::string path) : path_(std::move(path)) {}
    ~MailJournal();
    MailJournal(const MailJournal&) = delete;
    MailJournal& operator=(const MailJournal&) = delete;
    // One append of one line; raises EInOutError.
    void Record(const std::string& tempPath, bool byMessageId, const std::string& id);
    // The identifier files hold everything recorded: the journal goes.
    void Clear();
    // The entries of a stopped run's journal whose files made it to the spool.
    static std::vector<Entry> Recover(const std::string& path);

  private:
    std::string path_;
    std::unique_ptr<AppendFile> file_;
};
// The name of the journal beside the identifier files.
constexpr const char* kMailJournalName = "e-mail.jnl";

// The identifier of a message in "e-mail.idx", for servers without a usable
// UIDL answer, from its header lines (TOP n 0): the "<...>" part of its
// "Message-ID:" value (a value without angle brackets gets them, so that the
// trim rule can find where identifiers begin); a message without one is
// identified by "<" + the MD5 digest in hex of its header lines, each ended
// by CR LF as on the wire, + ">".
std::string MessageIdIdentifier(const tbrix_msg& header);

// Recipient of the batched-SMTP form. With useEnvelope (the account's
// POP3USEENVELOPE is a yes-word): the message's "Envelope-To:", else its
// "X-Envelope-To:", else "". Otherwise the envelope word, or DefaultEnvelope()
// when that is empty.
std::string BatchedSmtpRecipient(const tbrix_msg& message, bool useEnvelope,
                                 const std::string& envelope);

// The words of one POP3 account that shape its spool files.
struct SpoolAccount {
    std::string user;         // POP3USER word
    std::string server;       // POP3SERVER word
    bool useEnvelope = false; // POP3USEENVELOPE word is a yes-word
    std::string envelope;     // POP3ENVELOPE word
};

// Turns the lines of a received message, one at a time as they arrive, into
// the lines of its spool file, so that a message is never held whole.
// Mailbox form: "From " + user + LocalMailDomain(), then the message lines
// unchanged. Batched-SMTP form: "HELO " + server, "RCPT TO:<" + recipient +
// ">", "DATA", the message lines with one more "." before each line that
// begins with ".", then "." and "QUIT"; the header is held until its end,
// since the recipient comes from it.
class SpoolFormer {
  public:
    using Output = std::function<void(std::string_view line)>;
    SpoolFormer(bool batchedSmtp, const SpoolAccount& account, Output out);
    void Line(const std::string& line);
    // After the last line.
    void End();

  private:
    void StartBody();
    void Body(const std::string& line);

    bool batched_;
    SpoolAccount account_;
    Output out_;
    bool inHeader_;
    tbrix_msg header_;
    std::size_t headerBytes_ = 0;
};

// Name of spool file number counter: prefix + "m" + at least four upper-case
// hexadecimal digits + ".msg".
std::string SpoolFileName(const std::string& prefix, std::uint32_t counter);
// The name the file is written under until it is complete; no pattern of the
// host reader matches it.
// Each fetch job has its own suffix (".tmp" POP3, ".itm" IMAP), so that
// one job's clean-up never removes what the other's journal must still
// find.
std::string SpoolTempName(const std::string& prefix, std::uint32_t counter,
                          const std::string& suffix = ".tmp");
// The names of one spool directory, listed once per job, so that choosing a
// new file's name costs a look-up instead of a directory scan. A name that
// someone else takes meanwhile is caught by the exclusive create and the
// link, which never replace a file. Names count as taken in any letter case
// (the host reader's file system does not tell case apart) and whatever the
// entry is (a link, a directory).
class SpoolNames {
  public:
    // Lists the directory of prefix (a plain prefix of file names). The
    // temporary files that a killed run left ("m*.tmp") are removed; their
    // names are in Removed.
    explicit SpoolNames(const std::string& prefix, std::string tempSuffix = ".tmp");
    bool Taken(const std::string& path) const;
    void Take(const std::string& path);
    const std::string& Prefix() const { return prefix_; }
    const std::string& TempSuffix() const { return tempSuffix_; }

    std::vector<std::string> Removed;

  private:
    std::string prefix_;
    std::string tempSuffix_;
    std::unordered_set<std::string> upper_;
};

// The names of the spool directory of prefix, listed on first use in a
// job (the temporary files a killed run left removed, each logged).
SpoolNames& SpoolNamesOf(std::map<std::string, SpoolNames>& spools, const std::string& prefix,
                         const std::string& tempSuffix = ".tmp");

// One new spool file: created exclusively under its temporary name with the
// first free number from counter, written through a buffer, and moved to its
// ".msg" name by Commit, never replacing an existing file. A file that is
// not committed is removed. A failed write raises EStringListError "Error:
// Savetofile: " + the cause; a file that cannot be created raises
// EInOutError.
class SpoolFile {
  public:
    SpoolFile(SpoolNames& names, std::uint32_t& counter);
    void Line(std::string_view line);
    // Returns the final name; counter is then the number after it.
    // BeforeLink runs once, with the temporary name, when the file is
    // complete and about to take its final name.
    std::string Commit(const std::function<void(const std::string& TempPath)>& BeforeLink = {});

  private:
    void Drain();

    SpoolNames& names_;
    std::uint32_t& counter_;
    std::unique_ptr<NewFile> file_;
    std::string buffer_;
};

} // namespace brix
