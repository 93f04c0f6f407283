#pragma once
// What the IMAP fetch remembers, in "e-mail.imap" beside the other mail
// state: for each account and folder, the UIDVALIDITY its UIDs count under
// and each message fetched (or passed over for good) by its UID with its
// Message-ID identifier, so that a mailbox whose UIDVALIDITY changed is
// matched by Message-ID instead of fetched again.
//
// The text: per folder a line "F <uidvalidity> <account> <folder>" (the
// account "user@host:port" has no blank; the folder, in UTF-8, runs to the
// line's end), then one line "<uid> <identifier>" per message, ascending.

#include <cstdint>
#include <map>
#include <string>

namespace brix {

constexpr const char* kImapStateName = "e-mail.imap";
// The journal of the identifiers whose spool files are taking their names
// (see MailJournal), apart from POP3's.
constexpr const char* kImapJournalName = "e-mail.ijn";

struct ImapFolderState {
    // 0: never selected (or the server named none).
    std::uint32_t validity = 0;
    // UID -> the Message-ID identifier ("<...>", or "-" when unknown).
    std::map<std::uint32_t, std::string> messages;
};

class ImapState {
  public:
    // Key of one account's folder: "user@host:port folder".
    static std::string Key(const std::string& user, const std::string& host,
                           const std::string& port, const std::string& folder);

    // Reads the text. A line that fits no form raises ebrix_joberror naming
    // file and line: guessing would fetch a mailbox twice.
    void Parse(const std::string& text, const std::string& file);
    std::string Text() const;
    ImapFolderState& Folder(const std::string& key) { return folders_[key]; }

    // A journal entry's identifier: key, validity, UID and Message-ID
    // identifier, tab-separated; Recover takes it back in.
    static std::string JournalId(const std::string& key, std::uint32_t validity, std::uint32_t uid,
                                 const std::string& messageId);
    // False when the entry is not of this form (a line cut by a kill).
    bool Recover(const std::string& journalId);

  private:
    std::map<std::string, ImapFolderState> folders_;
};

} // namespace brix
