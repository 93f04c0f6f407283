#include "clients/imap_client.h"

#include "clients/imap_names.h"
#include "clients/sasl.h"
#include "net/socket_abort.h"
#include "support/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

namespace brix {

namespace {

// How many lines of one answer the transcript shows; a listing of a large
// mailbox is summed up after them.
constexpr std::size_t kShownLines = 8;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool IsAtomChar(char c) {
    return c > ' ' && c < 0x7f && c != '(' && c != ')' && c != '{' && c != '%' && c != '*' &&
           c != '"' && c != '\\' && c != ']';
}

// The word at Pos (an atom, "BODY[]" included) and where it ends.
std::string_view WordAt(std::string_view s, std::size_t pos) {
    std::size_t end = pos;
    while (end < s.size() && s[end] != ' ' && s[end] != ')' && s[end] != '(')
        ++end;
    return s.substr(pos, end - pos);
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() &&
           UpperAscii(std::string(s.substr(0, prefix.size()))) == UpperAscii(std::string(prefix));
}

// The text of Line after its first Count words.
std::string_view AfterWords(std::string_view line, int count) {
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        pos = line.find(' ', pos);
        if (pos == std::string_view::npos) return {};
        ++pos;
    }
    return line.substr(pos);
}

} // namespace

std::vector<std::string> ParseImapCapabilities(std::string_view Text) {
    std::vector<std::string> out;
    std::string word;
    for (char c : std::string(Text) + " ") {
        if (c == ' ' || c == ']') {
            if (!word.empty()) out.push_back(UpperAscii(word));
            word.clear();
            if (c == ']') break;
        } else {
            word += c;
        }
    }
    return out;
}

bool ImapFetchNumber(std::string_view Line, std::string_view Name, std::uint64_t& Value) {
    const std::size_t open = Line.find('(');
    if (open == std::string_view::npos) return false;
    bool quoted = false;
    for (std::size_t i = open + 1; i < Line.size(); ++i) {
        const char c = Line[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"') {
            quoted = true;
            continue;
        }
        // A data item's name starts after "(" or a blank.
        if (Line[i - 1] != '(' && Line[i - 1] != ' ') continue;
        const std::string_view word = WordAt(Line, i);
        if (word.size() != Name.size() || !StartsWithNoCase(word, Name)) continue;
        std::size_t p = i + word.size();
        if (p >= Line.size() || Line[p] != ' ') return false;
        ++p;
        std::size_t start = p;
        while (p < Line.size() && Line[p] >= '0' && Line[p] <= '9')
            ++p;
        std::int64_t v = 0;
        if (p == start || (p < Line.size() && Line[p] != ' ' && Line[p] != ')') ||
            !LeadingInt64(Line.substr(start, p - start), v))
            return false;
        const std::uint64_t limit = Name == "UID" ? std::numeric_limits<std::uint32_t>::max()
                                                  : std::numeric_limits<std::int64_t>::max();
        if (static_cast<std::uint64_t>(v) > limit) return false;
        Value = static_cast<std::uint64_t>(v);
        return true;
    }
    return false;
}

bool ImapLiteralAtEnd(std::string_view Line, std::uint64_t& Size) {
    if (Line.empty() || Line.back() != '}') return false;
    const std::size_t open = Line.rfind('{');
    if (open == std::string_view::npos) return false;
    std::string_view digits = Line.substr(open + 1, Line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+') digits.remove_suffix(1);
    if (digits.empty() || digits.size() > 19) return false;
    std::uint64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
    }
    Size = n;
    return true;
}

std::vector<std::string> ImapUidSets(std::vector<std::uint32_t> Uids, std::size_t MaxBytes) {
    std::sort(Uids.begin(), Uids.end());
    Uids.erase(std::unique(Uids.begin(), Uids.end()), Uids.end());
    std::vector<std::string> sets;
    std::string set;
    for (std::size_t i = 0; i < Uids.size();) {
        std::size_t j = i;
        while (j + 1 < Uids.size() && Uids[j + 1] == Uids[j] + 1)
            ++j;
        std::string range = std::to_string(Uids[i]);
        if (j > i) range += ":" + std::to_string(Uids[j]);
        if (!set.empty() && set.size() + 1 + range.size() > MaxBytes) {
            sets.push_back(std::move(set));
            set.clear();
        }
        set += (set.empty() ? "" : ",") + range;
        i = j + 1;
    }
    if (!set.empty()) sets.push_back(std::move(set));
    return sets;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> ImapUidRanges(std::string_view Set) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
    const auto number = [](std::string_view text, std::uint32_t& value) {
        std::int64_t v = 0;
        if (text == "*") {
            value = std::numeric_limits<std::uint32_t>::max();
            return true;
        }
        if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
            !LeadingInt64(text, v) || v > std::numeric_limits<std::uint32_t>::max())
            return false;
        value = static_cast<std::uint32_t>(v);
        return true;
    };
    for (std::size_t start = 0; start <= Set.size();) {
        std::size_t end = Set.find(',', start);
        if (end == std::string_view::npos) end = Set.size();
        const std::string_view part = Set.substr(start, end - start);
        start = end + 1;
        const std::size_t colon = part.find(':');
        std::uint32_t a = 0, b = 0;
        if (!number(part.substr(0, colon), a)) continue;
        b = a;
        if (colon != std::string_view::npos && !number(part.substr(colon + 1), b)) continue;
        ranges.emplace_back(std::min(a, b), std::max(a, b));
    }
    return ranges;
}

std::string ImapQuotedOrEmpty(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c < ' ' || c > '~') return {};
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

TIMAPClient::TIMAPClient(const std::string& Port) {
    Service = Port;
}

std::string TIMAPClient::NextTag() {
    std::string n = std::to_string(++tagCount_);
    return "A" + std::string(n.size() < 4 ? 4 - n.size() : 0, '0') + n;
}

std::string TIMAPClient::ExpectedTag() {
    // A command starts with its tag; the lines of a SASL exchange after it
    // (Base64, "*") have no blank and belong to the command before them.
    const std::size_t blank = answering_.find(' ');
    if (blank != std::string::npos && blank > 0 &&
        std::all_of(answering_.begin(), answering_.begin() + static_cast<std::ptrdiff_t>(blank),
                    IsAtomChar))
        lastTag_ = answering_.substr(0, blank);
    return greeting_ ? std::string() : lastTag_;
}

// Every answer is read by GetResponse; the engine's line rule is not used.
TAbsClient::TReplyLine TIMAPClient::ReplyLine(const std::string& Line) const {
    (void)Line;
    return {0, false};
}

void TIMAPClient::Closed() {
    OutOfStep = true;
    // The server said why before it closed: its words, not a lost
    // connection, are the error.
    if (!Bye.empty()) throw EAbsIMAPClient::CreateError("Bye", Bye);
    throw EBufTCPClientSocket::CreateError("ReadLn: connection closed by the server", ECONNRESET);
}

void TIMAPClient::GetResponse(TStrings* Lines) {
    (void)Lines;
    const std::string tag = ExpectedTag();
    std::string line;
    try {
        ReadLine(line);
    } catch (const EsktException&) {
        if (!Bye.empty()) Closed();
        throw;
    }
    if (!Socket->LastLineEnded()) Closed();
    AnswerStarted();
    // After its first line the answer as a whole must keep coming.
    TAnswerPaceScope pace(*Socket);
    failed_ = nullptr;
    bool whole = false;
    std::size_t shown = 0;
    std::uint64_t untagged = 0;
    try {
        for (std::size_t n = 1;; ++n) {
            const bool isUntagged = line.starts_with("* ");
            if (isUntagged) CompleteLine(line, shown);
            if (shown++ < kShownLines) DoLogLine(">" + Cut(line));
            if (failed_ && NowMs() > failedUntilMs_) {
                OutOfStep = true;
                std::rethrow_exception(failed_);
            }
            if (isUntagged && !tag.empty()) {
                Untagged(line);
                // Nothing of it is held, but a server that never ends an
                // answer must not hold the run.
                untagged += line.size() + 2;
                if (untagged > kMaxHeldAnswer)
                    throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
                if (n % 4096 == 0) PollSocketAbort();
            } else if (isUntagged) {
                // The greeting (RFC 3501 section 7.1.1): OK, PREAUTH or BYE.
                const std::string_view rest = AfterWords(line, 1);
                const std::string status = UpperAscii(std::string(WordAt(rest, 0)));
                ReplyCode = status == "OK"        ? IMAP_OK
                            : status == "PREAUTH" ? IMAP_PREAUTH
                            : status == "BYE"     ? IMAP_BYE
                                                  : 0;
                ResponseCode(AfterWords(rest, 1));
                Preauth = ReplyCode == IMAP_PREAUTH;
                LastReply = Cut(line);
                LastLine = line;
                return;
            } else if (line == "+" || line.starts_with("+ ")) {
                // A continuation request: the server waits for the rest of
                // the command (a SASL answer).
                ReplyCode = IMAP_CONTINUE;
                LastReply = Cut(line);
                LastLine = line;
                return;
            } else {
                const std::string_view word = WordAt(line, 0);
                const std::string status = UpperAscii(std::string(WordAt(AfterWords(line, 1), 0)));
                const std::int32_t code = status == "OK"    ? IMAP_OK
                                          : status == "NO"  ? IMAP_NO
                                          : status == "BAD" ? IMAP_BAD
                                                            : 0;
                LastReply = Cut(line);
                LastLine = line;
                if (tag.empty() || word != tag || code == 0) {
                    OutOfStep = true;
                    ReplyCode = 0;
                    throw EAbsIMAPClient::CreateError(
                        "Response: " + (tag.empty() ? std::string("greeting") : "tag " + tag) +
                            " due",
                        LastReply);
                }
                ResponseCode(AfterWords(line, 2));
                ReplyCode = code;
                if (shown > kShownLines)
                    DoLogLine("(" + std::to_string(shown - kShownLines) +
                              " more untagged lines not shown)");
                if (shown > kShownLines) DoLogLine(">" + LastReply);
                if (failed_) {
                    // The answer was read whole: the session is in step.
                    whole = true;
                    const std::exception_ptr failed = failed_;
                    failed_ = nullptr;
                    std::rethrow_exception(failed);
                }
                return;
            }
            line.clear();
            ReadLine(line);
            if (!Socket->LastLineEnded()) Closed();
        }
    } catch (const EsktException&) {
        if (whole) throw;
        OutOfStep = true;
        // The server said why before it closed: its words are the error.
        if (!Bye.empty() && !Socket->Usable()) throw EAbsIMAPClient::CreateError("Bye", Bye);
        throw;
    } catch (...) {
        if (!whole) OutOfStep = true;
        throw;
    }
}

void TIMAPClient::CompleteLine(std::string& Line, std::size_t& Shown) {
    bodyInLine_ = false;
    std::uint64_t size = 0;
    while (ImapLiteralAtEnd(Line, size)) {
        Line.erase(Line.rfind('{'));
        // A message's body in a FETCH response: "BODY[]", "BODY[HEADER]",
        // "RFC822" before the literal.
        std::string upper = UpperAscii(Line);
        while (!upper.empty() && upper.back() == ' ')
            upper.pop_back();
        const bool fetch = upper.find(" FETCH (") != std::string::npos;
        const bool body = fetch && Bodies && !bodyInLine_ &&
                          (upper.ends_with("BODY[]") || upper.ends_with("BODY[HEADER]") ||
                           upper.ends_with("RFC822"));
        if (Shown < kShownLines)
            DoLogLine(">" + Cut(Line) + "{" + std::to_string(size) + "} (literal)");
        ReadLiteral(size, body);
        Line += "\"\"";
        std::string rest;
        ReadLine(rest);
        if (!Socket->LastLineEnded()) Closed();
        Line += rest;
        if (Line.size() > kMaxLineLength)
            throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
    }
    if (bodyInLine_ && Bodies && Bodies->End && !failed_) {
        std::uint64_t uid = 0;
        try {
            Bodies->End(ImapFetchNumber(Line, "UID", uid) ? static_cast<std::uint32_t>(uid) : 0);
        } catch (...) {
            // Stored or not, the answer is read on, to stay in step.
            failed_ = std::current_exception();
            failedUntilMs_ = NowMs() + kAnswerDrainMs;
        }
    }
}

void TIMAPClient::ReadLiteral(std::uint64_t Size, bool Body) {
    // Only what arrives is held, never what the size announces.
    if (Body && !failed_) {
        bodyInLine_ = true;
        try {
            if (Bodies->Begin) Bodies->Begin();
        } catch (...) {
            failed_ = std::current_exception();
            failedUntilMs_ = NowMs() + kAnswerDrainMs;
        }
    }
    std::string block, partial;
    std::size_t blocks = 0;
    auto deliver = [&](std::string& line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Bodies->Line(line);
        line.clear();
    };
    auto fail = [&] {
        if (failed_) {
            OutOfStep = true;
            throw; // a second failure: the user means it
        }
        failed_ = std::current_exception();
        failedUntilMs_ = NowMs() + kAnswerDrainMs;
    };
    while (Size > 0) {
        block.clear();
        std::size_t got = 0;
        try {
            got = Socket->ReadBlock(
                block, static_cast<std::size_t>(std::min<std::uint64_t>(Size, 64u << 10)));
        } catch (const EsktException&) {
            OutOfStep = true;
            throw;
        } catch (...) {
            fail();
            continue;
        }
        if (got == 0) Closed();
        Size -= got;
        if (failed_) {
            if (NowMs() > failedUntilMs_) {
                OutOfStep = true;
                std::rethrow_exception(failed_);
            }
            continue;
        }
        if (!Body) continue;
        try {
            std::size_t start = 0;
            for (std::size_t lf; (lf = block.find('\n', start)) != std::string::npos;
                 start = lf + 1) {
                partial.append(block, start, lf - start);
                deliver(partial);
            }
            partial.append(block, start, std::string::npos);
            if (partial.size() > kMaxLineLength)
                throw EBufTCPClientSocket::CreateError("ReadLn", EMSGSIZE);
            if (++blocks % 16 == 0) PollSocketAbort();
        } catch (const EsktException&) {
            OutOfStep = true;
            throw;
        } catch (...) {
            fail();
        }
    }
    if (Body && !failed_ && !partial.empty()) {
        try {
            deliver(partial);
        } catch (...) {
            fail();
        }
    }
}

void TIMAPClient::ResponseCode(std::string_view Text) {
    if (!Text.starts_with("[")) return;
    const std::string upper = UpperAscii(std::string(Text.substr(0, 200)));
    if (upper.starts_with("[CAPABILITY ")) {
        Capabilities = ParseImapCapabilities(Text.substr(12));
    } else if (upper.starts_with("[ALERT]")) {
        Alerts.push_back(Cut(Trimmed(Text.substr(7))));
    } else if (mailbox_) {
        std::int64_t v = 0;
        const auto number = [&](std::size_t at) {
            const std::string_view rest = Text.substr(at);
            const std::size_t end = rest.find(']');
            return end != std::string_view::npos && LeadingInt64(rest.substr(0, end), v) &&
                   v >= 0 && v <= std::numeric_limits<std::uint32_t>::max();
        };
        if (upper.starts_with("[UIDVALIDITY ") && number(13))
            mailbox_->uidValidity = static_cast<std::uint32_t>(v);
        else if (upper.starts_with("[UIDNEXT ") && number(9))
            mailbox_->uidNext = static_cast<std::uint32_t>(v);
        else if (upper.starts_with("[READ-ONLY]"))
            mailbox_->readOnly = true;
    }
}

void TIMAPClient::Untagged(const std::string& Line) {
    const std::string_view rest = AfterWords(Line, 1);
    const std::string first = UpperAscii(std::string(WordAt(rest, 0)));
    if (first == "CAPABILITY") {
        Capabilities = ParseImapCapabilities(AfterWords(rest, 1));
    } else if (first == "ENABLED") {
        for (const std::string& name : ParseImapCapabilities(AfterWords(rest, 1)))
            Utf8Accepted = Utf8Accepted || name == "UTF8=ACCEPT";
    } else if (first == "OK" || first == "NO" || first == "BAD") {
        ResponseCode(AfterWords(rest, 1));
    } else if (first == "BYE") {
        Bye = Cut(Trimmed(AfterWords(rest, 1)));
        if (Bye.empty()) Bye = "BYE";
    } else {
        const std::string second = UpperAscii(std::string(WordAt(AfterWords(rest, 1), 0)));
        std::int64_t n = 0;
        if (second == "EXISTS" && mailbox_ && LeadingInt64(WordAt(rest, 0), n))
            mailbox_->exists = n;
        else if (second == "FETCH" && onFetch_)
            onFetch_(Line);
    }
}

bool TIMAPClient::SaslChallenge(std::string& Text) const {
    if (ReplyCode != IMAP_CONTINUE) return false;
    Text = Trimmed(std::string_view(LastLine).substr(1));
    return true;
}

bool TIMAPClient::SaslSucceeded() const {
    return ReplyCode == IMAP_OK;
}

std::string TIMAPClient::AuthCommand() {
    return NextTag() + " AUTHENTICATE";
}

bool TIMAPClient::DropAnswer(const std::string& Cmd) {
    (void)Cmd;
    GetResponse(nullptr);
    return ReplyCode != IMAP_CONTINUE;
}

bool TIMAPClient::MayDrop(const std::string& Cmd) const {
    const std::string_view words = AfterWords(Cmd, 1);
    return words.starts_with("UID FETCH ") || words.starts_with("CAPABILITY");
}

bool TIMAPClient::Offers(const std::string& Capability) const {
    return std::find(Capabilities.begin(), Capabilities.end(), UpperAscii(Capability)) !=
           Capabilities.end();
}

void TIMAPClient::Command(const std::string& Words, const char* Tag) {
    SendCommand(NextTag() + " " + Words);
    Check<EAbsIMAPClient>(ReplyCode == IMAP_OK, Tag);
}

void TIMAPClient::Connect(const std::string& HostName) {
    Capabilities.clear();
    Preauth = false;
    Utf8Accepted = false;
    Bye.clear();
    Alerts.clear();
    tagCount_ = 0;
    lastTag_.clear();
    mailbox_ = nullptr;
    greeting_ = true;
    try {
        TAbsClient::Connect(HostName);
    } catch (...) {
        greeting_ = false;
        throw;
    }
    greeting_ = false;
    Check<EAbsIMAPClient>(ReplyCode == IMAP_OK || ReplyCode == IMAP_PREAUTH, "Connect");
    if (TlsMode != TTlsMode::StartTls) return;
    // RFC 3501 section 6.2.1: a session that begins logged in cannot be
    // protected; going on would send everything in plain text.
    if (Preauth)
        throw EAbsIMAPClient::CreateError("STARTTLS: the server logged us in before TLS", Greeting);
    Command("STARTTLS", "STARTTLS refused");
    Socket->StartTls(TlsCAFile, TlsPins);
    // What was said in plain text counts no more (RFC 3501 section 6.2.1).
    Capabilities.clear();
}

void TIMAPClient::Capability() {
    Command("CAPABILITY", "Capability");
}

void TIMAPClient::Login(const std::string& User, const std::string& Secret) {
    // RFC 3501 section 6.2.3: a server that says LOGINDISABLED refuses
    // the password in plain text; it is not sent to be refused.
    if (Offers("LOGINDISABLED"))
        throw EAbsIMAPClient::CreateError("Login: the server takes no LOGIN on this connection",
                                          "LOGINDISABLED; use IMAPTLS or an IMAPAUTH method");
    const std::string user = ImapQuotedOrEmpty(User), secret = ImapQuotedOrEmpty(Secret);
    const std::string tag = NextTag();
    if (OnSecret) OnSecret();
    if (!user.empty() && !secret.empty()) {
        SendSecretCommand(tag + " LOGIN " + user + " " + secret, tag + " LOGIN " + user + " ****");
    } else {
        // Bytes beyond printable ASCII go as literals: each waits for the
        // server's "+" (RFC 3501 section 4.3) unless it takes them without.
        const bool plus = Offers("LITERAL+") || Offers("LITERAL-");
        std::string command = tag + " LOGIN ";
        const auto part = [&](const std::string& value, const std::string& quoted, bool last,
                              bool secretPart) {
            if (!quoted.empty()) {
                command += quoted + (last ? "" : " ");
                return;
            }
            command += "{" + std::to_string(value.size()) + (plus ? "+}" : "}");
            if (plus) {
                command += "\r\n" + value + (last ? "" : " ");
                return;
            }
            SendSecretCommand(command, secretPart ? tag + " LOGIN ****" : command);
            if (ReplyCode != IMAP_CONTINUE) throw EAbsIMAPClient::CreateError("Login", LastReply);
            command = value + (last ? "" : " ");
        };
        part(User, user, false, false);
        part(Secret, secret, true, true);
        SendSecretCommand(command, tag + " LOGIN ****");
    }
    Check<EAbsIMAPClient>(ReplyCode == IMAP_OK, "Login");
}

bool TIMAPClient::Compress() {
    SendCommand(NextTag() + " COMPRESS DEFLATE");
    // Until OK nothing has changed on the wire (RFC 4978 section 3).
    if (ReplyCode != IMAP_OK) return false;
    Socket->StartCompression();
    return true;
}

void TIMAPClient::Open(const TServerLogin& Login) {
    if (Capabilities.empty()) Capability();
    if (!Preauth) {
        Capabilities.erase(std::remove(Capabilities.begin(), Capabilities.end(), ""),
                           Capabilities.end());
        const std::vector<std::string> before = Capabilities;
        if (!Login.Method.empty()) {
            std::unique_ptr<TSaslMechanism> mechanism =
                MakeSaslMechanism(Login.Method, {Login.User, Login.Secret, Host, Service});
            if (!mechanism) throw EAbsIMAPClient::CreateError("Auth: unknown method", Login.Method);
            std::vector<std::string> offered;
            for (const std::string& c : Capabilities)
                if (c.starts_with("AUTH=")) offered.push_back(c.substr(5));
            // RFC 4959: the first message goes with the command only where
            // the server says it takes it.
            Authenticate(*mechanism, Offers("SASL-IR") ? 8192 : 0, offered, "CAPABILITY");
        } else {
            this->Login(Login.User, Login.Secret);
        }
        // The capabilities change with the login (RFC 3501 section 6.2.3);
        // the OK usually says them.
        if (Capabilities == before) Capability();
    }
    // RFC 6855: a server that takes UTF-8 hands over messages with UTF-8
    // headers as they are only to a client that said it takes them too.
    if (Offers("UTF8=ACCEPT")) {
        SendCommand(NextTag() + " ENABLE UTF8=ACCEPT");
        if (ReplyCode != IMAP_OK) Utf8Accepted = false;
    }
    SetPipeline();
    const bool wanted =
        Login.Compress == TCompress::Always ||
        (Login.Compress == TCompress::OnSlowLink && ShortestRoundTripUs() >= kCompressFromRttUs);
    const bool offered = Offers("COMPRESS=DEFLATE");
    if (Login.Compress == TCompress::OnSlowLink && offered)
        DoLogLine(std::string("COMPRESS DEFLATE ") + (wanted ? "asked for" : "not asked for") +
                  ": shortest round trip " + std::to_string(ShortestRoundTripUs() / 1000) + "." +
                  std::to_string(ShortestRoundTripUs() / 100 % 10) + " ms");
    if (wanted && offered && !Compress()) {
        if (OutOfStep) throw EAbsIMAPClient::CreateError("Compress", LastReply);
        OpenNotes.push_back("COMPRESS DEFLATE refused: " + LastReply + "; going on uncompressed");
    }
}

void TIMAPClient::Select(const std::string& Name, bool ReadOnly, TImapMailbox& Box) {
    Box = {};
    mailbox_ = &Box;
    // With UTF8=ACCEPT the name goes as it is (RFC 6855 section 3), else in
    // modified UTF-7.
    Command(std::string(ReadOnly ? "EXAMINE " : "SELECT ") +
                ImapQuoted(Utf8Accepted ? Name : ImapMailboxName(Name)),
            "Select");
}

void TIMAPClient::List(std::vector<TImapMessage>& Messages) {
    Messages.clear();
    bool tooMany = false;
    onFetch_ = [&](const std::string& line) {
        std::uint64_t uid = 0, size = 0;
        // A FETCH without both is another client's flag change.
        if (!ImapFetchNumber(line, "UID", uid) || !ImapFetchNumber(line, "RFC822.SIZE", size) ||
            uid == 0)
            return;
        if (Messages.size() >= kMaxHeldLines) {
            tooMany = true;
            return;
        }
        Messages.push_back({static_cast<std::uint32_t>(uid), static_cast<std::int64_t>(size)});
    };
    try {
        Command("UID FETCH 1:* (UID RFC822.SIZE)", "List");
    } catch (...) {
        onFetch_ = nullptr;
        throw;
    }
    onFetch_ = nullptr;
    if (tooMany)
        throw EAbsIMAPClient::CreateError("List", "more than " + std::to_string(kMaxHeldLines) +
                                                      " messages");
    std::sort(Messages.begin(), Messages.end(),
              [](const TImapMessage& a, const TImapMessage& b) { return a.uid < b.uid; });
    Messages.erase(
        std::unique(Messages.begin(), Messages.end(),
                    [](const TImapMessage& a, const TImapMessage& b) { return a.uid == b.uid; }),
        Messages.end());
}

std::string TIMAPClient::FetchCommand(const std::string& UidSet) {
    const std::size_t end = UidSet.find_first_of(":,");
    return "F" + UidSet.substr(0, end) + " UID FETCH " + UidSet + " BODY.PEEK[]";
}

void TIMAPClient::FetchBodies(const std::string& UidSet) {
    SendCommand(FetchCommand(UidSet));
    Check<EAbsIMAPClient>(ReplyCode == IMAP_OK, "Fetch");
}

void TIMAPClient::FetchHeaders(
    const std::string& UidSet,
    const std::function<void(std::uint32_t Uid, TStrings& Lines)>& Take) {
    TStrings lines;
    std::size_t held = 0;
    TImapBodyTaker taker{[&] {
                             lines.clear();
                             held = 0;
                         },
                         [&](std::string& line) {
                             // A header is small; one that is not stops
                             // being held, and what came decides.
                             held += line.size() + 2;
                             if (held <= kMaxImapSmallLiteral * 16)
                                 lines.push_back(std::move(line));
                         },
                         [&](std::uint32_t uid) {
                             if (uid != 0) Take(uid, lines);
                             lines.clear();
                         }};
    TImapBodyTaker* const saved = Bodies;
    Bodies = &taker;
    try {
        Command("UID FETCH " + UidSet + " (UID BODY.PEEK[HEADER])", "Headers");
    } catch (...) {
        Bodies = saved;
        throw;
    }
    Bodies = saved;
}

void TIMAPClient::StoreDeletedLater(const std::string& UidSet, bool Set,
                                    std::function<void(bool Ok)> Done) {
    SendLater(NextTag() + " UID STORE " + UidSet + (Set ? " +" : " -") + "FLAGS.SILENT (\\Deleted)",
              [this, Done = std::move(Done)] {
                  GetResponse(nullptr);
                  Done(ReplyCode == IMAP_OK);
              });
}

void TIMAPClient::ExpungeLater(const std::string& UidSet, std::function<void(bool Ok)> Done) {
    SendLater(NextTag() + " UID EXPUNGE " + UidSet, [this, Done = std::move(Done)] {
        GetResponse(nullptr);
        Done(ReplyCode == IMAP_OK);
    });
}

void TIMAPClient::Logout() {
    SendCommand(NextTag() + " LOGOUT");
    Check<EAbsIMAPClient>(ReplyCode == IMAP_OK, "Logout");
}

void TIMAPClient::Goodbye() {
    Logout();
}

void TIMAPClient::Disconnect() {
    const std::string counts = Socket->CompressionCounts();
    if (!counts.empty()) DoLogLine("COMPRESS DEFLATE: " + counts);
    TAbsClient::Disconnect();
    mailbox_ = nullptr;
}

} // namespace brix
