#include "context/config.h"

#include "clients/abs_client.h"
#include "clients/sasl.h"
#include "context/settings.h"
#include "platform/files.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <variant>

namespace brix {

namespace {

const char* const kYesWords[] = {"J", "JA", "Y", "YES", "1", "TRUE", "ON", "ENABLED"};
const char* const kNoWords[] = {"N", "NEIN", "NO", "0", "FALSE", "OFF", "DISABLED"};

} // namespace

YesNo ParseYesNo(const std::string& word) {
    const std::string w = UpperAscii(Trimmed(word));
    if (w.empty()) return YesNo::No;
    for (const char* y : kYesWords)
        if (w == y) return YesNo::Yes;
    for (const char* n : kNoWords)
        if (w == n) return YesNo::No;
    return YesNo::Unknown;
}

bool IsYesWord(const std::string& value) {
    return ParseYesNo(value) == YesNo::Yes;
}

namespace {

using Field = std::variant<std::string tbrixconfig::*, bool tbrixconfig::*,
                           std::optional<bool> tbrixconfig::*, std::int32_t tbrixconfig::*>;
struct KeyEntry {
    const char* key;
    Field field;
};

// Primary keys in table order, then the "CLIENT-" keys in the host reader's
// order: the first equal key wins.
const KeyEntry kKeys[] = {
    {"POP3SERVER", &tbrixconfig::POP3SERVER},
    {"POP3PORT", &tbrixconfig::POP3PORT},
    {"POP3USER", &tbrixconfig::POP3USER},
    {"POP3PASS", &tbrixconfig::POP3PASS},
    {"POP3PASSCMD", &tbrixconfig::POP3PASSCMD},
    {"POP3AUTH", &tbrixconfig::POP3AUTH},
    {"POP3ENVELOPE", &tbrixconfig::POP3ENVELOPE},
    {"POP3USEENVELOPE", &tbrixconfig::POP3USEENVELOPE},
    {"POP3KEEP", &tbrixconfig::POP3KEEP},
    {"POP3SPOOL", &tbrixconfig::POP3SPOOL},
    {"POP3TIMEOUT", &tbrixconfig::POP3TIMEOUT},
    {"POP3MAXLEN", &tbrixconfig::POP3MAXLEN},
    {"IMAPSERVER", &tbrixconfig::IMAPSERVER},
    {"IMAPPORT", &tbrixconfig::IMAPPORT},
    {"IMAPUSER", &tbrixconfig::IMAPUSER},
    {"IMAPPASS", &tbrixconfig::IMAPPASS},
    {"IMAPPASSCMD", &tbrixconfig::IMAPPASSCMD},
    {"IMAPAUTH", &tbrixconfig::IMAPAUTH},
    {"IMAPTLS", &tbrixconfig::IMAPTLS},
    {"IMAPFOLDERS", &tbrixconfig::IMAPFOLDERS},
    {"IMAPKEEP", &tbrixconfig::IMAPKEEP},
    {"IMAPSPOOL", &tbrixconfig::IMAPSPOOL},
    {"IMAPTIMEOUT", &tbrixconfig::IMAPTIMEOUT},
    {"IMAPENVELOPE", &tbrixconfig::IMAPENVELOPE},
    {"IMAPUSEENVELOPE", &tbrixconfig::IMAPUSEENVELOPE},
    {"SMTPSERVER", &tbrixconfig::SMTPSERVER},
    {"SMTPPORT", &tbrixconfig::SMTPPORT},
    {"SMTPUSER", &tbrixconfig::SMTPUSER},
    {"SMTPPASS", &tbrixconfig::SMTPPASS},
    {"SMTPPASSCMD", &tbrixconfig::SMTPPASSCMD},
    {"SMTPENVELOPE", &tbrixconfig::SMTPENVELOPE},
    {"SMTPAFTERPOP", &tbrixconfig::SMTPAFTERPOP},
    {"SMTPAFTERPOPTIMEOUT", &tbrixconfig::SMTPAFTERPOPTIMEOUT},
    {"SMTPAFTERPOPDELAY", &tbrixconfig::SMTPAFTERPOPDELAY},
    {"SMTPSPOOL", &tbrixconfig::SMTPSPOOL},
    {"SMTPTIMEOUT", &tbrixconfig::SMTPTIMEOUT},
    {"SMTPAUTH", &tbrixconfig::SMTPAUTH},
    {"NNTPSERVER", &tbrixconfig::NNTPSERVER},
    {"NNTPFALLBACK", &tbrixconfig::NNTPFALLBACK},
    {"NNTPPORT", &tbrixconfig::NNTPPORT},
    {"NNTPUSER", &tbrixconfig::NNTPUSER},
    {"NNTPPASS", &tbrixconfig::NNTPPASS},
    {"NNTPPASSCMD", &tbrixconfig::NNTPPASSCMD},
    {"NNTPLIST", &tbrixconfig::NNTPLIST},
    {"NNTPTIMEOUT", &tbrixconfig::NNTPTIMEOUT},
    {"NNTPSPOOL", &tbrixconfig::NNTPSPOOL},
    {"NNTPMAXLEN", &tbrixconfig::NNTPMAXLEN},
    {"NNTPNEWMAX", &tbrixconfig::NNTPNEWMAX},
    {"NNTPDUPESIZE", &tbrixconfig::NNTPDUPESIZE},
    {"NNTPRESCAN", &tbrixconfig::NNTPRESCAN},
    {"NNTPQUEUE", &tbrixconfig::NNTPQUEUE},
    {"NNTPREPLACEOWN", &tbrixconfig::NNTPREPLACEOWN},
    {"NNTPCOMPRESS", &tbrixconfig::NNTPCOMPRESS},
    {"PPP_UUZ_SPOOL", &tbrixconfig::PPP_UUZ_SPOOL},
    {"PPP_BOXPAKETE", &tbrixconfig::PPP_BOXPAKETE},
    {"PPP_KILLFILE", &tbrixconfig::PPP_KILLFILE},
    {"QVSCOREAKTIV", &tbrixconfig::QVSCOREAKTIV},
    {"SCOREFILE", &tbrixconfig::SCOREFILE},
    {"POP3TLS", &tbrixconfig::POP3TLS},
    {"SMTPTLS", &tbrixconfig::SMTPTLS},
    {"NNTPTLS", &tbrixconfig::NNTPTLS},
    {"TLSCAFILE", &tbrixconfig::TLSCAFILE},
    {"TLSFINGERPRINT", &tbrixconfig::TLSFINGERPRINT},
    {"PROXY", &tbrixconfig::PROXY},
    {"POP3PROXY", &tbrixconfig::POP3PROXY},
    {"IMAPPROXY", &tbrixconfig::IMAPPROXY},
    {"SMTPPROXY", &tbrixconfig::SMTPPROXY},
    {"NNTPPROXY", &tbrixconfig::NNTPPROXY},
    {"PROXYPASS", &tbrixconfig::PROXYPASS},
    {"PROXYPASSCMD", &tbrixconfig::PROXYPASSCMD},
    {"CLIENT-ADDSERVERS", &tbrixconfig::PPP_BOXPAKETE},
    {"CLIENT-SPOOL", &tbrixconfig::PPP_UUZ_SPOOL},
    {"CLIENT-MAILINSERVER", &tbrixconfig::POP3SERVER},
    {"CLIENT-MAILINENVELOPE", &tbrixconfig::POP3ENVELOPE},
    {"CLIENT-MAILINUSER", &tbrixconfig::POP3USER},
    {"CLIENT-MAILINPASSWORD", &tbrixconfig::POP3PASS},
    {"CLIENT-MAILINPORTPORT", &tbrixconfig::POP3PORT},
    {"CLIENT-MAILINUSEENVTO", &tbrixconfig::POP3USEENVELOPE},
    {"CLIENT-MAILINKEEP", &tbrixconfig::POP3KEEP},
    {"CLIENT-MAILINAPOP", &tbrixconfig::POP3AUTH},
    {"CLIENT-MAILOUTSERVER", &tbrixconfig::SMTPSERVER},
    {"CLIENT-MAILOUTENVELOPE", &tbrixconfig::SMTPENVELOPE},
    {"CLIENT-MAILOUTUSER", &tbrixconfig::SMTPUSER},
    {"CLIENT-MAILOUTPASSWORD", &tbrixconfig::SMTPPASS},
    {"CLIENT-MAILOUTPORT", &tbrixconfig::SMTPPORT},
    {"CLIENT-MAILOUTSMTPAFTERPOP", &tbrixconfig::SMTPAFTERPOP},
    {"CLIENT-MAILOUTLOGIN", &tbrixconfig::SMTPAUTH},
    {"CLIENT-NEWSSERVER", &tbrixconfig::NNTPSERVER},
    {"CLIENT-NEWSFALLBACK", &tbrixconfig::NNTPFALLBACK},
    {"CLIENT-NEWSUSER", &tbrixconfig::NNTPUSER},
    {"CLIENT-NEWSPASSWORD", &tbrixconfig::NNTPPASS},
    {"CLIENT-NEWSPORT", &tbrixconfig::NNTPPORT},
    {"CLIENT-NEWSLIST", &tbrixconfig::NNTPLIST},
    {"CLIENT-NEWSMAXLEN", &tbrixconfig::NNTPMAXLEN},
    {"CLIENT-NEWSMAX", &tbrixconfig::NNTPNEWMAX},
    {"REPLACEOWN", &tbrixconfig::NNTPREPLACEOWN},
};

// Letters to insert, remove or change to turn a into b.
std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0u : 1u)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key a mistyped one most likely meant; empty when none is near.
std::string NearestKey(const std::string& key) {
    // The host reader's shared "CLIENT-" start says nothing about a typo.
    const std::size_t own = key.size() - (key.starts_with("CLIENT-") ? 7 : 0);
    const std::size_t reach = std::max<std::size_t>(2, (own + 2) / 3);
    auto sharedStart = [&](std::string_view k) {
        return static_cast<std::size_t>(
            std::mismatch(key.begin(), key.end(), k.begin(), k.end()).first - key.begin());
    };
    std::string best;
    std::size_t bestDistance = reach + 1;
    for (const KeyEntry& k : kKeys) {
        const std::size_t d = EditDistance(key, k.key);
        // A typo rarely hits the first letters: on a tie the longer shared
        // start wins (NNTPPASWORD is NNTPPASS, not NNTPPORT).
        if (d < bestDistance || (d == bestDistance && sharedStart(k.key) > sharedStart(best))) {
            best = k.key;
            bestDistance = d;
        }
    }
    return best;
}

// The valid word nearest to a mistyped one (compared in upper case).
std::string NearestWord(const std::string& word, const std::vector<std::string>& valid) {
    const std::string w = UpperAscii(word);
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (const std::string& v : valid) {
        const std::size_t d = EditDistance(w, v);
        if (d < bestDistance) {
            best = v;
            bestDistance = d;
        }
    }
    return best;
}

std::string UnknownWord(const char* key, const std::string& word,
                        const std::vector<std::string>& valid) {
    return std::string(key) + ": unknown word " + word + " (did you mean " +
           NearestWord(word, valid) + "?)";
}

std::vector<std::string> YesNoWords() {
    std::vector<std::string> all(std::begin(kYesWords), std::end(kYesWords));
    all.insert(all.end(), std::begin(kNoWords), std::end(kNoWords));
    return all;
}

std::vector<std::string> SaslNames() {
    return {"PLAIN", "CRAM-MD5", "SCRAM-SHA-256", "XOAUTH2", "OAUTHBEARER"};
}

// POP3AUTH: a yes word for APOP, a no word (or USER) for USER and PASS, or
// a SASL mechanism.
std::vector<std::string> Pop3AuthWords() {
    std::vector<std::string> all = YesNoWords();
    all.push_back("APOP");
    all.push_back("USER");
    for (const std::string& m : SaslNames())
        all.push_back(m);
    return all;
}

// IMAPAUTH: the LOGIN command (no word, a no word, or LOGIN) or a SASL
// mechanism. A yes word says nothing about which.
std::vector<std::string> ImapAuthWords() {
    std::vector<std::string> all = {"LOGIN"};
    for (const std::string& m : SaslNames())
        all.push_back(m);
    return all;
}

std::vector<std::string> SmtpAuthWords() {
    std::vector<std::string> all = {"LOGIN", "AUTO", "KEINE"};
    for (const std::string& m : SaslNames())
        all.push_back(m);
    return all;
}

bool IsPortWord(const std::string& word) {
    if (word.empty()) return false;
    if (std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::int32_t port = 0;
        return TryStrToInt(word, port) && port >= 1 && port <= 65535;
    }
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    return letter(word[0]) && std::all_of(word.begin(), word.end(), [&](char c) {
               return letter(c) || (c >= '0' && c <= '9') || c == '-';
           });
}

bool IsPop3AuthWord(const std::string& word) {
    const std::string w = UpperAscii(word);
    return ParseYesNo(w) != YesNo::Unknown || w == "APOP" || w == "USER" || IsSaslMechanism(w);
}

bool IsImapAuthWord(const std::string& word) {
    const std::string w = UpperAscii(word);
    return ParseYesNo(w) == YesNo::No || w == "LOGIN" || IsSaslMechanism(w);
}

bool IsSmtpAuthWord(const std::string& word) {
    const std::string w = UpperAscii(word);
    return w.empty() || w == "LOGIN" || w == "AUTO" || w == "KEINE" || IsSaslMechanism(w);
}

std::string PortOf(const std::string& portWord, const std::string& tlsWord, const char* plain,
                   const char* tls, const char* startTls) {
    if (!portWord.empty()) return portWord;
    TTlsMode mode = TTlsMode::None;
    // An unknown mode is the connection's own error; its port is moot.
    if (!ParseTlsMode(tlsWord, mode)) return plain;
    return mode == TTlsMode::Tls ? tls : mode == TTlsMode::StartTls ? startTls : plain;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A folder name as it can be written in a word: %XX for every byte that is
// no printable ASCII, and for "%" and ",".
std::string FolderWord(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 0x20 && c < 0x7f && c != '%' && c != ',')
            out += ch;
        else
            out += std::string("%") + kHex[c >> 4] + kHex[c & 15];
    }
    return out;
}

// One folder of an IMAPFOLDERS word into name (UTF-8), or what is wrong
// with it.
std::string DecodeFolder(const std::string& written, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] != '%') {
            name += written[i];
            continue;
        }
        const bool whole = i + 2 < written.size();
        const int high = whole ? HexDigit(written[i + 1]) : -1;
        const int low = whole ? HexDigit(written[i + 2]) : -1;
        if (high < 0 || low < 0) return written + " has a % that is no %XX escape";
        name += static_cast<char>(high * 16 + low);
        i += 2;
    }
    // Shown with its bytes escaped: the terminal gets no stray byte.
    if (!IsUtf8(name)) return FolderWord(name) + " is no UTF-8";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        // C0, DEL, and C1 (U+0080 to U+009F: 0xC2 0x80 to 0xC2 0x9F).
        const bool control =
            c < 0x20 || c == 0x7f ||
            (c == 0xc2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xa0);
        if (control) return FolderWord(name) + " holds a control character";
    }
    // RFC 3501 section 5.1: INBOX is the same name in any case.
    if (UpperAscii(name) == "INBOX") name = "INBOX";
    return "";
}

// The folders of an IMAPFOLDERS word, or its IMAPFOLDERS error: the first
// name that cannot be used, and how to write one.
std::string DecodeFolders(const std::string& word, std::vector<std::string>& folders) {
    folders.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = word.find(',', start);
        const std::string written =
            word.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        std::string name;
        const std::string problem =
            written.empty() ? word + " has an empty folder name" : DecodeFolder(written, name);
        if (!problem.empty())
            return "IMAPFOLDERS: " + problem +
                   " (write a folder name in UTF-8, with %20 for a blank, %2C for a comma and %25 "
                   "for a percent sign, and \",\" between two folders: INBOX,Sent%20Items)";
        folders.push_back(name);
        if (comma == std::string::npos) return "";
        start = comma + 1;
    }
}

} // namespace

tbrixconfig::tbrixconfig(const std::string& fileName) {
    std::string real = ResolveName(fileName);
    std::string text;
    try {
        text = ReadFileBytes(real);
    } catch (const EInOutError&) {
        throw ebrixconfigerror(Tr("Config-Datei '%s' nicht gefunden", {fileName}));
    }
    const auto slash = fileName.find_last_of('/');
    const std::string label = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    ReadText(text, label);
    if (!(POP3PASS + IMAPPASS + SMTPPASS + NNTPPASS + PROXYPASS).empty() && ReadableByOthers(real))
        Warnings.push_back(label + " holds a password and can be read by others: chmod 600 " +
                           real);
}

void tbrixconfig::ReadText(const std::string& text, const std::string& fileLabel) {
    int number = 0;
    for (std::string& line : SplitLines(text))
        ReadLine(std::move(line), ++number, fileLabel);
    CheckWords();
}

std::string tbrixconfig::KeyError(std::initializer_list<const char*> keys) const {
    for (const auto& [key, problem] : KeyErrors)
        for (const char* k : keys)
            if (key == k) return problem;
    return "";
}

void tbrixconfig::CheckWords() {
    auto each = [&](const char* key, const std::string& list, auto valid,
                    const std::vector<std::string>& words) {
        for (int i = 1; i <= WordCount(list); ++i) {
            const std::string w = ExtractWord(i, list);
            if (!valid(w)) {
                KeyErrors.emplace_back(key, UnknownWord(key, w, words));
                return;
            }
        }
    };
    const auto yesNo = [](const std::string& w) { return ParseYesNo(w) != YesNo::Unknown; };
    each("POP3KEEP", POP3KEEP, yesNo, YesNoWords());
    each("POP3USEENVELOPE", POP3USEENVELOPE, yesNo, YesNoWords());
    each("POP3AUTH", POP3AUTH, IsPop3AuthWord, Pop3AuthWords());
    each("IMAPKEEP", IMAPKEEP, yesNo, YesNoWords());
    each("IMAPUSEENVELOPE", IMAPUSEENVELOPE, yesNo, YesNoWords());
    each("IMAPAUTH", IMAPAUTH, IsImapAuthWord, ImapAuthWords());
    each("SMTPAUTH", SMTPAUTH, IsSmtpAuthWord, SmtpAuthWords());
    const auto tls = [](const std::string& w) {
        TTlsMode mode;
        return ParseTlsMode(w, mode);
    };
    const std::vector<std::string> tlsWords = {"NONE", "STARTTLS", "TLS"};
    each("POP3TLS", POP3TLS, tls, tlsWords);
    each("IMAPTLS", IMAPTLS, tls, tlsWords);
    each("SMTPTLS", SMTPTLS, tls, tlsWords);
    each("NNTPTLS", NNTPTLS, tls, tlsWords);
    // A port is a number from 1 to 65535 or a service name: "11g9" would
    // only fail when the job connects, and pass -check.
    auto ports = [&](const char* key, const std::string& list) {
        for (int i = 1; i <= WordCount(list); ++i) {
            const std::string w = ExtractWord(i, list);
            if (IsPortWord(w)) continue;
            KeyErrors.emplace_back(key, std::string(key) + ": " + w +
                                            " is no port (a number from 1 to 65535, or a "
                                            "service name such as pop3)");
            return;
        }
    };
    ports("POP3PORT", POP3PORT);
    ports("IMAPPORT", IMAPPORT);
    ports("SMTPPORT", SMTPPORT);
    ports("NNTPPORT", NNTPPORT);
    // A folder name the server would be asked for in a wrong form, or not
    // at all, must stop the job before anything is fetched or deleted.
    std::vector<std::string> folders;
    for (int i = 1; i <= WordCount(IMAPFOLDERS); ++i)
        if (const std::string problem = DecodeFolders(ExtractWord(i, IMAPFOLDERS), folders);
            !problem.empty()) {
            KeyErrors.emplace_back("IMAPFOLDERS", problem);
            return;
        }
}

void tbrixconfig::ReadLine(std::string line, int number, const std::string& fileLabel) {
    // A secret is never cut: a password or token longer than a box line
    // holds is an error of its key (its jobs refuse to start), not a login
    // that fails for no visible reason.
    const bool tooLong = line.size() > kShortText;
    CutTo(line, kShortText);
    if (line.empty() || line[0] == '#') return;
    auto eq = line.find('=');
    if (eq == std::string::npos) throw ebrixconfigerror(Tr("Fehler in der Config-Datei"));
    std::string key = UpperAscii(Trimmed(std::string_view(line).substr(0, eq)));
    std::string value = Trimmed(std::string_view(line).substr(eq + 1));
    for (const KeyEntry& k : kKeys) {
        if (key != k.key) continue;
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(this->*member)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    this->*member = value;
                    const char* secret = member == &tbrixconfig::POP3PASS    ? "POP3PASS"
                                         : member == &tbrixconfig::IMAPPASS  ? "IMAPPASS"
                                         : member == &tbrixconfig::SMTPPASS  ? "SMTPPASS"
                                         : member == &tbrixconfig::NNTPPASS  ? "NNTPPASS"
                                         : member == &tbrixconfig::PROXYPASS ? "PROXYPASS"
                                                                             : nullptr;
                    if (secret && tooLong)
                        KeyErrors.emplace_back(
                            secret, std::string(secret) + " is longer than a box line can hold (" +
                                        std::to_string(kShortText) +
                                        " characters): give it through " + secret +
                                        "CMD instead, for example " + secret +
                                        "CMD=cat ~/.config/brix/secret");
                } else if constexpr (std::is_same_v<T, bool>) {
                    const YesNo yn = ParseYesNo(value);
                    this->*member = yn == YesNo::Yes;
                    if (yn == YesNo::Unknown)
                        KeyErrors.emplace_back(k.key, UnknownWord(k.key, value, YesNoWords()));
                } else if constexpr (std::is_same_v<T, std::optional<bool>>) {
                    // Empty leaves the choice to the program.
                    const YesNo yn = ParseYesNo(value);
                    this->*member =
                        Trimmed(value).empty() ? std::nullopt : std::optional(yn == YesNo::Yes);
                    if (yn == YesNo::Unknown)
                        KeyErrors.emplace_back(k.key, UnknownWord(k.key, value, YesNoWords()));
                } else {
                    this->*member = StrToInt(value);
                }
            },
            k.field);
        return;
    }
    const std::string nearest = NearestKey(key);
    if (key.rfind("CLIENT-", 0) == 0 && nearest.empty()) return;
    Warnings.push_back(fileLabel + " line " + std::to_string(number) + ": unknown key " + key +
                       (nearest.empty() ? "" : " (did you mean " + nearest + "?)"));
}

std::string Pop3PortOf(const tbrixconfig& box, int index) {
    return PortOf(ExtractWord(index, box.POP3PORT), ExtractWord(index, box.POP3TLS), "110", "995",
                  "110");
}

std::string ImapPortOf(const tbrixconfig& box, int index) {
    return PortOf(ExtractWord(index, box.IMAPPORT), ExtractWord(index, box.IMAPTLS), "143", "993",
                  "143");
}

std::string SmtpPortOf(const tbrixconfig& box, int index) {
    return PortOf(ExtractWord(index, box.SMTPPORT), ExtractWord(index, box.SMTPTLS), "25", "465",
                  "587");
}

std::string NntpPortOf(const tbrixconfig& box) {
    return PortOf(Trimmed(box.NNTPPORT), box.NNTPTLS, "119", "563", "119");
}

std::string Pop3MethodOf(const tbrixconfig& box, int index) {
    const std::string word = ExtractWord(index, box.POP3AUTH);
    const std::string w = UpperAscii(word);
    if (IsYesWord(w) || w == "APOP") return "APOP";
    if (IsSaslMechanism(w)) return w;
    if (ParseYesNo(w) == YesNo::No || w == "USER") return "";
    throw ebrix_joberror(UnknownWord("POP3AUTH", word, Pop3AuthWords()));
}

std::string ImapMethodOf(const tbrixconfig& box, int index) {
    const std::string word = ExtractWord(index, box.IMAPAUTH);
    const std::string w = UpperAscii(word);
    if (ParseYesNo(w) == YesNo::No || w == "LOGIN") return "";
    if (IsSaslMechanism(w)) return w;
    throw ebrix_joberror(UnknownWord("IMAPAUTH", word, ImapAuthWords()));
}

std::vector<std::string> ImapFoldersOf(const tbrixconfig& box, int index) {
    if (WordCount(box.IMAPFOLDERS) == 0) return {"INBOX"};
    std::vector<std::string> folders;
    const std::string problem = DecodeFolders(ExtractWord(index, box.IMAPFOLDERS), folders);
    if (!problem.empty()) throw ebrix_joberror(problem);
    return folders;
}

std::string SmtpMethodOf(const tbrixconfig& box, int index) {
    const std::string word = ExtractWord(index, box.SMTPAUTH);
    if (!IsSmtpAuthWord(word)) throw ebrix_joberror(UnknownWord("SMTPAUTH", word, SmtpAuthWords()));
    return UpperAscii(word);
}

bool YesNoWord(const char* key, const std::string& word) {
    const YesNo yn = ParseYesNo(word);
    if (yn == YesNo::Unknown) throw ebrix_joberror(UnknownWord(key, word, YesNoWords()));
    return yn == YesNo::Yes;
}

std::string TlsCAFileOf(const tbrixconfig& box) {
    if (box.TLSCAFILE.empty() || box.TLSCAFILE[0] == '/') return box.TLSCAFILE;
    return Settings().QvPath + box.TLSCAFILE;
}

std::string ScorefileOf(const tbrixconfig& box, const std::string& programDir) {
    if (box.SCOREFILE.starts_with('/')) return box.SCOREFILE;
    return programDir + box.SCOREFILE;
}

int TimeoutSeconds(const std::string& value) {
    std::int32_t v = 0;
    if (TryStrToInt(Trimmed(value), v) && v > 0) return v;
    return 60;
}

std::int32_t TimeoutMillis(std::int32_t seconds) {
    const std::int64_t ms = std::int64_t{seconds > 0 ? seconds : 60} * 1000;
    return static_cast<std::int32_t>(std::min<std::int64_t>(ms, INT32_MAX));
}

std::int32_t TimeoutMillis(const std::string& value) {
    return TimeoutMillis(TimeoutSeconds(value));
}

} // namespace brix
