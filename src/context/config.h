#pragma once
// The settings of one box, read from its ".bfg" file. Two key sets fill the
// same fields: our own names and the "CLIENT-" names of the host reader.

#include "support/errors.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brix {

BRIX_EXCEPTION_CLASS(ebrixconfigerror, Exception);

// The words of the keys that say yes or no, in any case: J, JA, Y, YES, 1,
// TRUE, ON (and ENABLED) for yes; N, NEIN, NO, 0, FALSE, OFF (and DISABLED)
// and the empty word for no.
enum class YesNo { Yes, No, Unknown };
YesNo ParseYesNo(const std::string& word);
// A yes word; false for every other word.
bool IsYesWord(const std::string& value);
// Word as yes or no; any other word raises ebrix_joberror naming the key
// and the nearest valid word, before anything is fetched, sent or deleted.
bool YesNoWord(const char* key, const std::string& word);

class tbrixconfig {
  public:
    tbrixconfig() = default; // defaults only, for tests and derived records
    explicit tbrixconfig(const std::string& fileName);

    // Reads the lines of a box file into this record (pure; for tests too);
    // fileLabel names the file in the warnings.
    void ReadText(const std::string& text, const std::string& fileLabel = "");

    // One line per key that nothing reads, with the nearest known key:
    // "BOX.bfg line 3: unknown key POP3SERVR (did you mean POP3SERVER?)".
    // Such a line sets nothing. The host reader's own "CLIENT-" keys that
    // are not near a known one belong to it and are not reported.
    std::vector<std::string> Warnings;
    // Keys whose value cannot be used as it stands (a word outside the key's
    // set, a password longer than a box line holds), with what is wrong:
    // "POP3KEEP: unknown word maybe (did you mean Y?)". The jobs that use a
    // key refuse to start while it is listed here; -check shows them.
    std::vector<std::pair<std::string, std::string>> KeyErrors;
    // The first problem of any of keys, or "".
    std::string KeyError(std::initializer_list<const char*> keys) const;

    std::string POP3SERVER;
    std::string POP3PORT;
    std::string POP3USER;
    std::string POP3PASS;
    // A command whose first line of output is the password or access token
    // (the PASSCMD keys; run through /bin/sh for each server).
    std::string POP3PASSCMD;
    std::string POP3AUTH = "N";
    std::string POP3ENVELOPE;
    std::string POP3USEENVELOPE = "N";
    std::string POP3KEEP = "J";
    std::string POP3SPOOL;
    std::string POP3TIMEOUT;
    std::int32_t POP3MAXLEN = 1048576;
    // The IMAP accounts, word lists like the POP3 keys. IMAPFOLDERS holds
    // one word per server: its folders in UTF-8, separated by ",", with %XX
    // for a byte that a word cannot hold ("Sent%20Items", "%2C" a comma);
    // empty means INBOX. An empty IMAPSPOOL is POP3SPOOL's first word.
    std::string IMAPSERVER;
    std::string IMAPPORT;
    std::string IMAPUSER;
    std::string IMAPPASS;
    std::string IMAPPASSCMD;
    std::string IMAPAUTH;
    std::string IMAPTLS;
    std::string IMAPFOLDERS;
    std::string IMAPKEEP = "J";
    std::string IMAPSPOOL;
    std::string IMAPTIMEOUT;
    std::string IMAPENVELOPE;
    std::string IMAPUSEENVELOPE = "N";
    std::string SMTPSERVER;
    std::string SMTPPORT;
    std::string SMTPUSER;
    std::string SMTPPASS;
    std::string SMTPPASSCMD;
    std::string SMTPENVELOPE;
    bool SMTPAFTERPOP = false;
    std::string SMTPAFTERPOPTIMEOUT;
    std::int32_t SMTPAFTERPOPDELAY = 0;
    std::string SMTPSPOOL;
    std::string SMTPTIMEOUT;
    std::string SMTPAUTH;
    std::string NNTPSERVER;
    std::string NNTPFALLBACK;
    std::string NNTPPORT;
    std::string NNTPUSER;
    std::string NNTPPASS;
    std::string NNTPPASSCMD;
    bool NNTPLIST = false;
    std::int32_t NNTPTIMEOUT = 30;
    std::string NNTPSPOOL;
    std::int32_t NNTPMAXLEN = 99999;
    std::int32_t NNTPNEWMAX = 2500;
    std::int32_t NNTPDUPESIZE = 65536;
    bool NNTPRESCAN = false;
    std::int32_t NNTPQUEUE = 10;
    bool NNTPREPLACEOWN = false;
    // COMPRESS DEFLATE when the server offers it: yes, no, or unset (the
    // link decides: see TCompress).
    std::optional<bool> NNTPCOMPRESS;
    std::string PPP_UUZ_SPOOL;
    std::string PPP_BOXPAKETE;
    std::string PPP_KILLFILE;
    bool QVSCOREAKTIV = false;
    std::string SCOREFILE;
    // TLS per server: "NONE" (empty), "STARTTLS" or "TLS"; POP3TLS and
    // SMTPTLS are word lists like the other per-server keys.
    std::string POP3TLS;
    std::string SMTPTLS;
    std::string NNTPTLS;
    // PEM file of CAs trusted besides the system's (a server with its own
    // CA or a self-signed certificate).
    std::string TLSCAFILE;
    // SHA-256 fingerprints of server certificates accepted as they are,
    // without chain or name checks (hex, colons optional, blanks between).
    std::string TLSFINGERPRINT;
    // The proxy every connection of the box goes through ("socks5://...",
    // "socks5h://...", "http://...", an optional "user@" before the host),
    // and one per protocol, which wins; NONE or "-" there means direct.
    std::string PROXY;
    std::string POP3PROXY;
    std::string IMAPPROXY;
    std::string SMTPPROXY;
    std::string NNTPPROXY;
    // The proxy user's password, or a command that prints it.
    std::string PROXYPASS;
    std::string PROXYPASSCMD;

  private:
    void ReadLine(std::string line, int number, const std::string& fileLabel);
    // Checks the words of the keys with a fixed set of values.
    void CheckWords();
};

// TLSCAFILE as a path: a relative name is taken in the host reader's
// directory (QvPath), like the box files; empty when not set.
std::string TlsCAFileOf(const tbrixconfig& box);
// SCOREFILE as a path: an absolute name as it is, a relative one in the
// program's directory.
std::string ScorefileOf(const tbrixconfig& box, const std::string& programDir);

// The port of a protocol's server (index from 1): its word of the port key,
// or, when the key is empty, the registered port for the server's TLS mode
// (POP3 110 or 995; IMAP 143 or 993; SMTP 25, 465 or 587 with STARTTLS;
// NNTP 119 or 563).
std::string Pop3PortOf(const tbrixconfig& box, int index);
std::string ImapPortOf(const tbrixconfig& box, int index);
std::string SmtpPortOf(const tbrixconfig& box, int index);
std::string NntpPortOf(const tbrixconfig& box);
// How a POP3 server's account logs in (index from 1), from its POP3AUTH
// word: "APOP" for yes (or APOP), a SASL mechanism's name, or "" for USER
// and PASS (a no word, or USER). Any other word raises ebrix_joberror.
std::string Pop3MethodOf(const tbrixconfig& box, int index);
// How an IMAP server's account logs in (index from 1), from its IMAPAUTH
// word: "" for the LOGIN command (no word, a no word, or LOGIN), else a SASL
// mechanism's name, upper-cased. Any other word raises ebrix_joberror.
std::string ImapMethodOf(const tbrixconfig& box, int index);
// The folders an IMAP server's account fetches from (index from 1): its
// word of IMAPFOLDERS split at ",", each name decoded from its %XX escapes
// into UTF-8; INBOX, in any case, is "INBOX"; {"INBOX"} when the key is
// empty. A name that cannot be used (empty, a bad escape, not UTF-8, a
// control character) raises ebrix_joberror with its IMAPFOLDERS error.
std::vector<std::string> ImapFoldersOf(const tbrixconfig& box, int index);
// The SMTPAUTH word of a server, upper-cased: "", LOGIN, AUTO, KEINE or a
// SASL mechanism's name. Any other word raises ebrix_joberror.
std::string SmtpMethodOf(const tbrixconfig& box, int index);

// Seconds from a time-out key (POP3TIMEOUT, IMAPTIMEOUT, SMTPTIMEOUT, NNTPTIMEOUT) when it
// holds a positive number, else the 60-second default.
int TimeoutSeconds(const std::string& value);
// TimeoutSeconds in milliseconds, held at what a socket's time-out can take.
std::int32_t TimeoutMillis(const std::string& value);
// The same for a key read as a number (NNTPTIMEOUT).
std::int32_t TimeoutMillis(std::int32_t seconds);

} // namespace brix
