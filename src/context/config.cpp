#include "context/config.h"

#include "clients/abs_client.h"
#include "clients/sasl.h"
#include "context/settings.h"
#include "platform/files.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <variant>

namespace brix {

bool IsYesWord(const std::string& value) {
    std::string v = UpperAscii(value);
    return v == "ENABLED" || v == "J" || v == "JA" || v == "Y" || v == "YES";
}

namespace {

using Field =
    std::variant<std::string tbrixconfig::*, bool tbrixconfig::*, std::int32_t tbrixconfig::*>;
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

std::string PortOf(const std::string& portWord, const std::string& tlsWord, const char* plain,
                   const char* tls, const char* startTls) {
    if (!portWord.empty()) return portWord;
    TTlsMode mode = TTlsMode::None;
    // An unknown mode is the connection's own error; its port is moot.
    if (!ParseTlsMode(tlsWord, mode)) return plain;
    return mode == TTlsMode::Tls ? tls : mode == TTlsMode::StartTls ? startTls : plain;
}

} // namespace

tbrixconfig::tbrixconfig(const std::string& fileName) {
    std::string real = ResolveName(fileName);
    std::string text;
    try {
        text = ReadFileBytes(real);
    } catch (const EInOutError&) {
        throw ebrixconfigerror("Config-Datei '" + fileName + "' nicht gefunden");
    }
    const auto slash = fileName.find_last_of('/');
    const std::string label = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    ReadText(text, label);
    if (!(POP3PASS + SMTPPASS + NNTPPASS).empty() && ReadableByOthers(real))
        Warnings.push_back(label + " holds a password and can be read by others: chmod 600 " +
                           real);
}

void tbrixconfig::ReadText(const std::string& text, const std::string& fileLabel) {
    int number = 0;
    for (std::string& line : SplitLines(text))
        ReadLine(std::move(line), ++number, fileLabel);
}

void tbrixconfig::ReadLine(std::string line, int number, const std::string& fileLabel) {
    CutTo(line, kShortText);
    if (line.empty() || line[0] == '#') return;
    auto eq = line.find('=');
    if (eq == std::string::npos) throw ebrixconfigerror("Fehler in der Config-Datei");
    std::string key = UpperAscii(Trimmed(std::string_view(line).substr(0, eq)));
    std::string value = Trimmed(std::string_view(line).substr(eq + 1));
    for (const KeyEntry& k : kKeys) {
        if (key != k.key) continue;
        std::visit(
            [&](auto member) {
                using T = std::remove_reference_t<decltype(this->*member)>;
                if constexpr (std::is_same_v<T, std::string>)
                    this->*member = value;
                else if constexpr (std::is_same_v<T, bool>)
                    this->*member = IsYesWord(value);
                else
                    this->*member = StrToInt(value);
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

std::string SmtpPortOf(const tbrixconfig& box, int index) {
    return PortOf(ExtractWord(index, box.SMTPPORT), ExtractWord(index, box.SMTPTLS), "25", "465",
                  "587");
}

std::string NntpPortOf(const tbrixconfig& box) {
    return PortOf(Trimmed(box.NNTPPORT), box.NNTPTLS, "119", "563", "119");
}

std::string Pop3MethodOf(const tbrixconfig& box, int index) {
    const std::string word = ExtractWord(index, box.POP3AUTH);
    if (IsYesWord(word)) return "APOP";
    return IsSaslMechanism(word) ? UpperAscii(word) : "";
}

std::string TlsCAFileOf(const tbrixconfig& box) {
    if (box.TLSCAFILE.empty() || box.TLSCAFILE[0] == '/') return box.TLSCAFILE;
    return Settings().QvPath + box.TLSCAFILE;
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
