#include "clients/smtp_message.h"

#include "clients/base64.h"
#include "clients/encoders.h"
#include "clients/mime.h"
#include "clients/smtp_client.h"
#include "support/dot_stuffing.h"
#include "support/errors.h"
#include "support/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sys/stat.h>

namespace brix {

namespace {

using TLineSink = std::function<void(const std::string&)>;

// Encoded words and folded lines stay within RFC 2047's 76 characters.
constexpr std::size_t kFoldAt = 76;
// Bytes per encoded word: 48 Base64 characters, so that "=?charset?B?...?="
// stays below 75 for charset names up to 15 characters.
constexpr std::size_t kWordBytes = 36;
// RFC 5321 section 4.5.3.1.6: at most 998 characters before CR LF.
constexpr std::size_t kMaxLine = 998;

[[noreturn]] void Refuse(const std::string& why) {
    throw EAbsSMTPClient::CreateError("SendMessage", why);
}

bool IsControl(unsigned char c) {
    return (c < 32 && c != '\t') || c == 127;
}

bool NeedsEncoding(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 128 || IsControl(c)) return true;
    return false;
}

// Splits an address list at the commas outside quotes, angle brackets and
// comments.
TStrings SplitAddresses(std::string_view list) {
    TStrings out;
    std::string item;
    bool quoted = false;
    int angle = 0, comment = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (quoted && c == '\\' && i + 1 < list.size()) {
            item += c;
            c = list[++i];
        } else if (c == '"' && !comment) {
            quoted = !quoted;
        } else if (!quoted) {
            angle += c == '<' ? 1 : c == '>' && angle ? -1 : 0;
            comment += c == '(' ? 1 : c == ')' && comment ? -1 : 0;
            if (c == ',' && !angle && !comment) {
                if (!Trimmed(item).empty()) out.push_back(Trimmed(item));
                item.clear();
                continue;
            }
        }
        item += c;
    }
    if (!Trimmed(item).empty()) out.push_back(Trimmed(item));
    return out;
}

std::string AddressOf(const std::string& item) {
    std::size_t open = item.rfind('<');
    if (open == std::string::npos) return item;
    std::size_t close = item.find('>', open);
    return item.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1);
}

// RFC 2047 "B" encoded words for text; in UTF-8 a character is never split
// between two words (section 5, rule 3).
TStrings EncodedWords(std::string_view text, const std::string& charset) {
    bool utf8 = EqualsNoCase(charset, "UTF-8") || EqualsNoCase(charset, "UTF8");
    TStrings words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t n = std::min(kWordBytes, text.size() - pos);
        if (utf8)
            while (n > 1 && pos + n < text.size() &&
                   (static_cast<unsigned char>(text[pos + n]) & 0xC0) == 0x80)
                --n;
        words.push_back("=?" + charset + "?B?" + Base64Encode(text.substr(pos, n)) + "?=");
        pos += n;
    }
    return words;
}

// The header's lines: the pieces separated by blanks, folded before a piece
// that would make a line longer than kFoldAt.
TStrings Fold(const std::string& name, const TStrings& pieces) {
    TStrings lines;
    std::string line = name + ":";
    bool any = false;
    for (const std::string& piece : pieces) {
        if (any && line.size() + 1 + piece.size() > kFoldAt) {
            lines.push_back(line);
            line.clear();
        }
        line += " " + piece;
        any = true;
    }
    lines.push_back(line);
    return lines;
}

TStrings UnstructuredHeader(const std::string& name, const std::string& value,
                            const std::string& charset) {
    if (NeedsEncoding(value)) return Fold(name, EncodedWords(value, charset));
    if (name.size() + 2 + value.size() <= kMaxLine) return {name + ": " + value};
    // Too long for one SMTP line: folded at blanks, each run of blanks kept
    // with the word before it so that unfolding gives the text back.
    TStrings words;
    for (std::size_t pos = 0; pos < value.size();) {
        std::size_t blank = value.find(' ', pos);
        if (blank == std::string::npos) blank = value.size();
        if (blank == pos && !words.empty())
            words.back() += ' ';
        else
            words.push_back(value.substr(pos, blank - pos));
        pos = blank == pos ? pos + 1 : blank + 1;
    }
    return Fold(name, words);
}

// Only the display name of an address may be encoded; the address itself
// stays as it is.
TStrings AddressHeader(const std::string& name, const std::string& list,
                       const std::string& charset) {
    TStrings pieces;
    TStrings items = SplitAddresses(list);
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::string item = items[i];
        std::size_t open = item.rfind('<');
        if (NeedsEncoding(item) && open != std::string::npos && open > 0) {
            std::string phrase = Trimmed(item.substr(0, open));
            if (phrase.size() >= 2 && phrase.front() == '"' && phrase.back() == '"')
                phrase = phrase.substr(1, phrase.size() - 2);
            for (const std::string& word : EncodedWords(phrase, charset))
                pieces.push_back(word);
            pieces.push_back(item.substr(open));
        } else {
            pieces.push_back(item);
        }
        if (i + 1 < items.size()) pieces.back() += ",";
    }
    return Fold(name, pieces);
}

// A parameter of Content-Type or Content-Disposition: a quoted string for
// plain ASCII, else RFC 2231's charset'' form with percent escapes, split
// into numbered sections when long.
TStrings Parameter(const std::string& attribute, const std::string& value,
                   const std::string& charset) {
    if (!NeedsEncoding(value)) {
        std::string quoted = attribute + "=\"";
        for (char c : value) {
            if (c == '"' || c == '\\') quoted += '\\';
            quoted += c;
        }
        return {quoted + "\""};
    }
    static const char hex[] = "0123456789ABCDEF";
    TStrings chunks(1);
    for (unsigned char c : value) {
        std::string piece;
        if (std::isalnum(c) || std::strchr("!#$&+-.^_`|~", c)) {
            piece = static_cast<char>(c);
        } else {
            piece = {'%', hex[c >> 4], hex[c & 15]};
        }
        if (chunks.back().size() + piece.size() > 40) chunks.emplace_back();
        chunks.back() += piece;
    }
    if (chunks.size() == 1) return {attribute + "*=" + charset + "''" + chunks[0]};
    TStrings out;
    for (std::size_t i = 0; i < chunks.size(); ++i)
        out.push_back(attribute + "*" + std::to_string(i) + "*=" + (i ? "" : charset + "''") +
                      chunks[i]);
    return out;
}

// "Head; p1; p2" on one line when it fits, else one parameter per line.
TStrings WithParameters(const std::string& head, const TStrings& parameters) {
    std::string line = head;
    for (const std::string& p : parameters)
        line += "; " + p;
    if (line.size() <= kFoldAt) return {line};
    TStrings lines{head + ";"};
    for (std::size_t i = 0; i < parameters.size(); ++i)
        lines.push_back(" " + parameters[i] + (i + 1 < parameters.size() ? ";" : ""));
    return lines;
}

// RFC 5322 section 3.3, in local time with its offset; names in English
// whatever the locale.
std::string DateHeader() {
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    long offset = t.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[64];
    std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  days[t.tm_wday], t.tm_mday, months[t.tm_mon], t.tm_year + 1900, t.tm_hour,
                  t.tm_min, t.tm_sec, sign, offset / 60, offset % 60);
    return text;
}

// RFC 2045 section 6.7, with soft line breaks so that no line passes 76
// characters.
void QuotedPrintable(const std::string& line, const TLineSink& out) {
    static const char hex[] = "0123456789ABCDEF";
    std::string current;
    for (std::size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool last = i + 1 == line.size();
        std::string piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
            piece = static_cast<char>(c);
        } else {
            piece = {'=', hex[c >> 4], hex[c & 15]};
        }
        if (current.size() + piece.size() > kFoldAt - 1) {
            out(current + "=");
            current.clear();
        }
        current += piece;
    }
    out(current);
}

TStrings BodyLines(const TStrings& body) {
    TStrings lines;
    for (const std::string& text : body) {
        std::size_t start = 0;
        for (;;) {
            std::size_t lf = text.find('\n', start);
            std::string line = text.substr(start, lf == std::string::npos ? lf : lf - start);
            if (lf != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(std::move(line));
            if (lf == std::string::npos) break;
            start = lf + 1;
        }
    }
    return lines;
}

struct TOpenFile {
    std::string Path;
    std::ifstream Stream;
};

std::string BaseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    for (unsigned char c : text)
        if (!std::isalnum(c) && !std::strchr("-_.:", c)) return false;
    return true;
}

// Everything that can make the message fail is found here, before the
// first command: a message is sent whole or not at all.
std::vector<std::unique_ptr<TOpenFile>> Prepare(const TSMTPMessage& m) {
    if (m.Encoder < kEncodeBase64 || m.Encoder > kEncodeXX)
        Refuse("unknown encoder " + std::to_string(m.Encoder));
    if (!IsToken(m.Charset)) Refuse("bad charset name " + m.Charset);
    TStrings texts = {m.From, m.To, m.Cc, m.Bcc, m.Subject};
    texts.insert(texts.end(), m.Headers.begin(), m.Headers.end());
    // A line break in a header text would let it write headers, or SMTP
    // commands, of its own.
    for (const std::string& text : texts)
        if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            Refuse("line break in a header text");
    for (const std::string& h : m.Headers) {
        std::size_t colon = h.find(':');
        if (colon == 0 || colon == std::string::npos || h.find_first_of(" \t") < colon)
            Refuse("bad header line " + h);
    }
    if (Trimmed(m.From).empty()) Refuse("no sender");
    if (m.Recipients().empty()) Refuse("no recipient");

    std::vector<std::unique_ptr<TOpenFile>> files;
    for (const std::string& path : m.Attachments) {
        auto file = std::make_unique<TOpenFile>();
        file->Path = path;
        struct stat st {};
        int err = 0;
        if (::stat(path.c_str(), &st) != 0) {
            err = errno;
        } else if (!S_ISREG(st.st_mode)) {
            err = EISDIR;
        } else {
            file->Stream.open(path, std::ios::binary);
            if (!file->Stream) err = errno ? errno : EACCES;
        }
        if (err) Refuse("cannot read attachment " + path + ": " + std::strerror(err));
        files.push_back(std::move(file));
    }
    return files;
}

void Emit(const TStrings& lines, const TLineSink& out) {
    for (const std::string& line : lines)
        out(line);
}

bool HasDateHeader(const TStrings& headers) {
    bool dated = false;
    for (const std::string& h : headers)
        dated = dated || EqualsNoCase(h.substr(0, 5), "Date:");
    return dated;
}

void ComposeHeaders(const TSMTPMessage& m, const TLineSink& out) {
    const std::string& cs = m.Charset;
    Emit(AddressHeader("From", m.From, cs), out);
    if (!SplitAddresses(m.To).empty()) Emit(AddressHeader("To", m.To, cs), out);
    if (!SplitAddresses(m.Cc).empty()) Emit(AddressHeader("Cc", m.Cc, cs), out);
    if (!m.Subject.empty()) Emit(UnstructuredHeader("Subject", m.Subject, cs), out);
    if (!HasDateHeader(m.Headers)) out(DateHeader());
    for (const std::string& h : m.Headers) {
        std::size_t colon = h.find(':');
        Emit(UnstructuredHeader(h.substr(0, colon), Trimmed(h.substr(colon + 1)), cs), out);
    }
}

struct TBodyText {
    TStrings Lines;
    bool EightBit = false;
    bool Quoted = false; // to be sent quoted-printable in a MIME part
    std::string TextType;
};

TBodyText BodyText(const TSMTPMessage& m) {
    TBodyText body;
    body.Lines = BodyLines(m.Body);
    for (const std::string& line : body.Lines) {
        body.EightBit = body.EightBit || NeedsEncoding(line);
        body.Quoted = body.Quoted || NeedsEncoding(line) || line.size() > kMaxLine;
    }
    body.TextType = "Content-Type: text/plain; charset=" + m.Charset;
    return body;
}

void EmitEncoded(TAbsEncode& enc, const TOpenFile& file, const TLineSink& out) {
    try {
        while (!enc.Eof())
            out(enc.EncodeLine());
    } catch (const EInOutError&) {
        Refuse("cannot read attachment " + file.Path);
    }
}

// The traditional form: the files follow the text, each between its begin
// and end lines, for uudecode or xxdecode to find.
void ComposeTraditional(const TSMTPMessage& m, const std::vector<std::unique_ptr<TOpenFile>>& files,
                        const TBodyText& body, const TLineSink& out) {
    // The begin lines carry the file names as they are.
    bool eightBit = body.EightBit;
    for (auto& file : files)
        eightBit = eightBit || NeedsEncoding(BaseName(file->Path));
    if (eightBit)
        Emit({"MIME-Version: 1.0", body.TextType, "Content-Transfer-Encoding: 8bit"}, out);
    out("");
    Emit(body.Lines, out);
    for (auto& file : files) {
        out("");
        std::unique_ptr<TUUEncode> enc;
        if (m.Encoder == kEncodeUU) {
            enc = std::make_unique<TUUEncode>(file->Stream, file->Path);
        } else {
            enc = std::make_unique<TXXEncode>(file->Stream, file->Path);
        }
        EmitEncoded(*enc, *file, out);
    }
}

void ComposeTextPart(const TBodyText& body, const TLineSink& out) {
    Emit({body.TextType, body.Quoted ? "Content-Transfer-Encoding: quoted-printable"
                                     : "Content-Transfer-Encoding: 7bit"},
         out);
    out("");
    for (const std::string& line : body.Lines)
        body.Quoted ? QuotedPrintable(line, out) : out(line);
}

// "=_" occurs neither in Base64 nor in quoted-printable text, so only a
// plain text part can hold the boundary, and it is checked.
std::string Boundary(const TBodyText& body) {
    std::string boundary;
    std::random_device random;
    for (bool clash = true; clash;) {
        boundary = "=_";
        for (int i = 0; i < 4; ++i) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(random()));
            boundary += hex;
        }
        clash = false;
        for (const std::string& line : body.Quoted ? TStrings() : body.Lines)
            clash = clash || line.find(boundary) != std::string::npos;
    }
    return boundary;
}

void ComposeAttachmentPart(TOpenFile& file, const std::string& charset, const TLineSink& out) {
    static const TMimeMgr types;
    std::string name = BaseName(file.Path);
    Emit(WithParameters("Content-Type: " + types.TypeOf(name), Parameter("name", name, charset)),
         out);
    out("Content-Transfer-Encoding: base64");
    Emit(WithParameters("Content-Disposition: attachment", Parameter("filename", name, charset)),
         out);
    out("");
    T64Encode enc(file.Stream);
    EmitEncoded(enc, file, out);
}

void ComposeMultipart(const TSMTPMessage& m, const std::vector<std::unique_ptr<TOpenFile>>& files,
                      const TBodyText& body, const TLineSink& out) {
    std::string boundary = Boundary(body);
    Emit(WithParameters("Content-Type: multipart/mixed", {"boundary=\"" + boundary + "\""}), out);
    out("");
    out("This is a multi-part message in MIME format.");
    if (!body.Lines.empty()) {
        out("");
        out("--" + boundary);
        ComposeTextPart(body, out);
    }
    for (auto& file : files) {
        out("");
        out("--" + boundary);
        ComposeAttachmentPart(*file, m.Charset, out);
    }
    out("");
    out("--" + boundary + "--");
}

// The lines of the message, not yet dot-stuffed.
void Compose(const TSMTPMessage& m, std::vector<std::unique_ptr<TOpenFile>>& files,
             const TLineSink& out) {
    ComposeHeaders(m, out);
    TBodyText body = BodyText(m);
    if (m.Encoder != kEncodeBase64) {
        ComposeTraditional(m, files, body, out);
        return;
    }
    out("MIME-Version: 1.0");
    if (files.empty())
        ComposeTextPart(body, out);
    else
        ComposeMultipart(m, files, body, out);
}

} // namespace

std::string TSMTPMessage::Sender() const {
    TStrings items = SplitAddresses(From);
    return items.empty() ? std::string() : Trimmed(AddressOf(items[0]));
}

TStrings TSMTPMessage::Recipients() const {
    TStrings out;
    for (const std::string* list : {&To, &Cc, &Bcc})
        for (const std::string& item : SplitAddresses(*list))
            out.push_back(Trimmed(AddressOf(item)));
    return out;
}

void TSMTPClient::SendMessage(const TSMTPMessage& Message) {
    auto files = Prepare(Message);
    Mail(Message.Sender());
    for (const std::string& to : Message.Recipients())
        Rcpt(to);
    Data();
    try {
        Compose(Message, files,
                [this](const std::string& line) { Socket->QueueLn(Stuffed(line)); });
    } catch (const EAbsSMTPClient&) {
        // A file that fails half-way: without its "." the server drops the
        // message when the connection closes; QUIT would be taken as text,
        // so none is said.
        OutOfStep = true;
        TAbsClient::Disconnect();
        throw;
    }
    EndData();
}

} // namespace brix
