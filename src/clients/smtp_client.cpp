#include "clients/smtp_client.h"

#include "clients/base64.h"
#include "clients/sasl.h"
#include "net/socket_abort.h"
#include "support/text.h"

#include <unistd.h>

namespace brix {

TSMTPClient::TSMTPClient(const std::string& Port) {
    Service = Port;
}

// RFC 5321 section 4.2: three digits, then a blank or the end on the last
// line of a reply, "-" on each line before it.
TAbsClient::TReplyLine TSMTPClient::ReplyLine(const std::string& Line) const {
    const std::int32_t code = ReplyCodeOf(Line);
    return {code, code != 0 && Line.size() > 3 && Line[3] == '-'};
}

bool TSMTPClient::CodeIn(std::initializer_list<int> Codes) const {
    for (int c : Codes)
        if (ReplyCode == c) return true;
    return false;
}

void TSMTPClient::Command(const std::string& Cmd, const char* Tag,
                          std::initializer_list<int> Codes) {
    SendCommand(Cmd);
    Check<EAbsSMTPClient>(CodeIn(Codes), Tag);
}

void TSMTPClient::Connect(const std::string& HostName) {
    TAbsClient::Connect(HostName);
    Check<EAbsSMTPClient>(ReplyCode == 220, "Connect");
    if (TlsMode == TTlsMode::StartTls) StartTls();
}

void TSMTPClient::Helo(const std::string& Domain) {
    Command("HELO " + Domain, "Helo", {250});
}

void TSMTPClient::Mail(const std::string& From) {
    SendCommand("MAIL FROM: <" + From + ">");
    CheckMail();
}

void TSMTPClient::CheckMail() const {
    // A server that wants authentication first answers 451 here.
    Check<EAbsSMTPClient>(ReplyCode != 451, "Smtp-Auth required");
    Check<EAbsSMTPClient>(ReplyCode == 250, "Mail");
}

void TSMTPClient::Rcpt(const std::string& To) {
    SendCommand("RCPT TO: <" + To + ">");
    CheckRcpt();
}

void TSMTPClient::CheckRcpt() const {
    Check<EAbsSMTPClient>(CodeIn({250, 251}), "Rcpt");
}

void TSMTPClient::Data() {
    SendCommand("DATA");
    CheckData();
}

void TSMTPClient::CheckData() const {
    Check<EAbsSMTPClient>(ReplyCode == 354, "Data");
}

void TSMTPClient::Rset() {
    Command("RSET", "Rset", {250});
}

void TSMTPClient::Quit() {
    Command("QUIT", "Quit", {221});
}

void TSMTPClient::Ehlo(const std::string& Domain, TStrings* Lines, const std::string& AuthMethod,
                       const std::string& User, const std::string& Password) {
    SendCommandLines("EHLO " + Domain, Lines);
    Check<EAbsSMTPClient>(ReplyCode == 250, "Ehlo");
    // A method asked for by name must be offered, also by a server that
    // lists no extensions at all: never send the mail without the login.
    if (IsSaslMechanism(AuthMethod)) {
        AuthSasl(AuthMethod, Lines ? *Lines : TStrings{}, {User, Password, Host, Service});
        return;
    }
    if (!Lines || Lines->empty()) return;
    auto refuse = [&] {
        throw EAbsSMTPClient::CreateError("Auth-Login-Method not understand",
                                          AuthMethod + " not supportet");
    };
    if (AuthMethod != "LOGIN" && AuthMethod != "AUTO") refuse();
    bool offered = false;
    for (const std::string& line : *Lines)
        if (UpperAscii(line).find("LOGIN") != std::string::npos) offered = true;
    if (!offered) refuse();

    if (OnSecret) OnSecret();
    Command("AUTH LOGIN", "Auth-Login", {334});
    SendSecretCommand(Base64Encode(User), "****");
    Check<EAbsSMTPClient>(ReplyCode == 334, "Auth-Login");
    SendSecretCommand(Base64Encode(Password), "****");
    Check<EAbsSMTPClient>(ReplyCode == 235, "Auth-Login");
}

// RFC 4954 section 4: "334 " and the Base64 of the challenge; 235 ends it.
bool TSMTPClient::SaslChallenge(std::string& Text) const {
    if (ReplyCode != 334) return false;
    // The whole line: LastReply is cut to the width of a log line.
    Text = LastLine.size() > 4 ? Trimmed(std::string_view(LastLine).substr(4)) : std::string();
    return true;
}

bool TSMTPClient::SaslSucceeded() const {
    return ReplyCode == 235;
}

void TSMTPClient::AuthSasl(const std::string& Method, const TStrings& Extensions,
                           const TSaslAccount& Account) {
    std::unique_ptr<TSaslMechanism> mechanism = MakeSaslMechanism(Method, Account);
    // RFC 4954 section 4: the AUTH line may hold 12288 octets with CR LF.
    Authenticate(*mechanism, 12286, OfferedMechanisms(Extensions, "AUTH"), "AUTH");
}

void TSMTPClient::StartTls() {
    std::string domain = TlsDomain;
    if (domain.empty()) {
        char name[256] = {};
        domain = ::gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
    }
    TStrings extensions;
    SendCommandLines("EHLO " + domain, &extensions);
    Check<EAbsSMTPClient>(ReplyCode == 250, "Ehlo");
    bool offered = false;
    for (const std::string& line : extensions)
        offered = offered || UpperAscii(Trimmed(line)) == "STARTTLS";
    Check<EAbsSMTPClient>(offered, "STARTTLS not offered");
    Command("STARTTLS", "STARTTLS refused", {220});
    Socket->StartTls(TlsCAFile, TlsPins);
    Command("EHLO " + domain, "Ehlo", {250});
}

// RFC 5321 has the server wait for the "."; a line before it (an early "250",
// a "552" before closing) would otherwise be taken as the verdict on the
// whole message.
void TSMTPClient::CheckNothingEarly() {
    Socket->Flush();
    if (Socket->WaitForDataTime(0) > 0) {
        OutOfStep = true;
        GetResponse(nullptr);
        throw EAbsSMTPClient::CreateError("Data: Reply before end of message", LastReply);
    }
}

void TSMTPClient::EndData() {
    CheckNothingEarly();
    Socket->WriteLn(".");
    ReadVerdict();
}

void TSMTPClient::EndDataLater(std::function<void()> Judge) {
    CheckNothingEarly();
    EndBodyLater(std::move(Judge));
}

void TSMTPClient::ReadVerdict() {
    GetVerdict();
    Check<EAbsSMTPClient>(ReplyCode == 250, "Data: After transfer");
}

bool TSMTPClient::Ehlo(const std::string& Domain, TStrings* Lines) {
    SendCommandLines("EHLO " + Domain, Lines);
    return ReplyCode == 250;
}

void TSMTPClient::DataRawLine(std::string_view Line) {
    Socket->QueueLn(Line == "." ? std::string_view("..") : Line);
}

void TSMTPClient::Envelope(const std::string& From, const std::vector<std::string>& To,
                           const std::function<void(const std::string&)>& OnRecipient) {
    if (!Pipelining()) {
        Mail(From);
        for (const std::string& to : To) {
            if (OnRecipient) OnRecipient(to);
            Rcpt(to);
        }
        Data();
        return;
    }
    // With more recipients DATA waits for their replies: after a refused
    // one, a DATA already taken could only deliver to the others.
    const bool dataAhead = To.size() == 1;
    // Shared with the judges, which may outlive this call (an abort leaves
    // their replies to the goodbye's drain).
    struct Group {
        std::vector<std::string> wire;
        std::exception_ptr refusal; // the first, with its reply
        std::int32_t code = 0;
        std::string reply;
        bool taken = false; // a DATA that the server took despite it all
        std::function<void(const std::string&)> onRecipient;
    };
    const auto group = std::make_shared<Group>();
    group->onRecipient = OnRecipient;
    group->wire.push_back("MAIL FROM: <" + From + ">");
    for (const std::string& address : To)
        group->wire.push_back("RCPT TO: <" + address + ">");
    if (dataAhead) group->wire.push_back("DATA");
    auto judge = [this, group, &To](std::size_t i) -> std::function<void()> {
        const std::string rcpt = i >= 1 && i <= To.size() ? To[i - 1] : std::string();
        return [this, group, i, rcpt] {
            if (!group->refusal && !rcpt.empty() && group->onRecipient) group->onRecipient(rcpt);
            GetResponse(nullptr);
            const bool data = group->wire[i] == "DATA";
            if (group->refusal) {
                group->taken = data && ReplyCode == 354;
                return;
            }
            try {
                if (i == 0)
                    CheckMail();
                else if (data)
                    CheckData();
                else
                    CheckRcpt();
            } catch (const EAbsSMTPClient&) {
                group->refusal = std::current_exception();
                group->code = ReplyCode;
                group->reply = LastReply;
            }
        };
    };
    try {
        for (std::size_t i = 0; i < group->wire.size(); ++i) {
            if (SendAhead(group->wire[i], 0, judge(i))) continue;
            // The window is full: the replies so far first.
            FinishPipeline();
            if (group->refusal) break;
            SendLater(group->wire[i], judge(i));
        }
        FinishPipeline();
        // RFC 2920 section 3.1: with no recipient left, a lone "." ends it
        // and delivers nothing.
        if (group->taken) {
            Socket->WriteLn(".");
            GetResponse(nullptr);
        }
    } catch (const EsktException&) {
        if (!group->refusal) throw;
        // A server that closes after its refusal (421 and the like): its own
        // words tell why, not the lost connection.
        OutOfStep = true;
    }
    if (group->refusal) {
        ReplyCode = group->code;
        LastReply = group->reply;
        std::rethrow_exception(group->refusal);
    }
    if (!dataAhead) Data();
}

void TSMTPClient::Greet(const std::string& Domain) {
    TStrings extensions;
    if (login_.LogIn) {
        Ehlo(Domain, &extensions, login_.Method, login_.User, login_.Secret);
    } else if (!Ehlo(Domain, &extensions)) {
        // Only a server that does not know EHLO (5yz) is greeted with HELO;
        // one that is closing (421) has said why.
        if (ReplyCode / 100 != 5) throw EAbsSMTPClient::CreateError("Ehlo", LastReply);
        Helo(Domain);
    }
    for (const std::string& extension : extensions)
        if (UpperAscii(Trimmed(extension)) == "PIPELINING") SetPipeline();
}

void TSMTPClient::Goodbye() {
    SendCommand("QUIT");
    Check<EAbsSMTPClient>(ReplyCode / 100 == 2, "Quit");
}

} // namespace brix
