#pragma once
// Fetched mail as the host reader imports it: one file per message, in
// mailbox form ("From " line first) or as a batched-SMTP file, every line
// ended by a single LF.

#include "mail/msg.h"

#include <cstdint>
#include <string>
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

// The identifier of a message in "e-mail.idx", for servers without a usable
// UIDL answer, from its header lines (TOP n 0): the "<...>" part of its
// "Message-ID:" value (a value without angle brackets gets them, so that the
// trim rule can find where identifiers begin); a message without one is
// identified by "<" + the MD5 digest in hex of its header lines, each ended
// by CR LF as on the wire, + ">".
std::string MessageIdIdentifier(const tbrix_msg& header);

// Mailbox form: "From " + user + LocalMailDomain(), then the message lines
// unchanged.
std::vector<std::string> MailboxForm(const std::vector<std::string>& message,
                                     const std::string& user);

// Recipient of the batched-SMTP form. With useEnvelope (the account's
// POP3USEENVELOPE is a yes-word): the message's "Envelope-To:", else its
// "X-Envelope-To:", else "". Otherwise the envelope word, or DefaultEnvelope()
// when that is empty.
std::string BatchedSmtpRecipient(const tbrix_msg& message, bool useEnvelope,
                                 const std::string& envelope);
// Batched-SMTP form: "HELO " + server, "RCPT TO:<" + recipient + ">",
// "DATA", the message lines with one more "." before each line that begins
// with ".", then "." and "QUIT".
std::vector<std::string> BatchedSmtpForm(const std::vector<std::string>& message,
                                         const std::string& server, const std::string& recipient);

// The words of one POP3 account that shape its spool files.
struct SpoolAccount {
    std::string user;         // POP3USER word
    std::string server;       // POP3SERVER word
    bool useEnvelope = false; // POP3USEENVELOPE word is a yes-word
    std::string envelope;     // POP3ENVELOPE word
};

// The lines of the spool file for a received message: BatchedSmtpForm with
// its recipient when batchedSmtp is set, else MailboxForm.
std::vector<std::string> SpoolForm(const tbrix_msg& message, bool batchedSmtp,
                                   const SpoolAccount& account);

// Name of spool file number counter: prefix + "m" + at least four upper-case
// hexadecimal digits + ".msg".
std::string SpoolFileName(const std::string& prefix, std::uint32_t counter);
// The name the file is written under until it is complete; no pattern of the
// host reader matches it.
std::string SpoolTempName(const std::string& prefix, std::uint32_t counter);
// A spool name is taken when a directory entry of that name exists in any
// letter case (the host reader's file system does not tell case apart).
bool SpoolNameTaken(const std::string& path);

// Writes the lines, each followed by LF, as a new spool file and returns its
// name. Starts with number counter and moves on past every name that is
// taken, also when one is taken while the file is written; an existing file
// is never replaced. On return counter is the number after the one used.
// With sync the file and its directory are flushed to disk before the call
// returns (a server deletion is about to depend on it). A failed write
// removes the temporary file and raises EStringListError "Error: Savetofile";
// a file that cannot be created raises EInOutError.
std::string WriteSpoolFile(const std::string& prefix, std::uint32_t& counter,
                           const std::vector<std::string>& lines, bool sync = false);

} // namespace brix
