#include "clients/smtp_client.h"

#include "clients/base64.h"
#include "clients/sasl.h"
#include "net/socket_abort.h"
#include "support/text.h"

#include <unistd.h>

namespace brix {

TAbsSMTPClient::TAbsSMTPClient() {
    Service = "smtp";
}

// RFC 5321 section 4.2: three digits, then a blank or the end on the last
// line of a reply, "-" on each line before it.
TAbsClient::TReplyLine TAbsSMTPClient::ReplyLine(const std::string& Line) const {
    const std::int32_t code = ReplyCodeOf(Line);
    return {code, code != 0 && Line.size() > 3 && Line[3] == '-'};
}

bool TAbsSMTPClient::CodeIn(std::initializer_list<int> Codes) const {
    for (int c : Codes)
        if (ReplyCode == c) return true;
    return false;
}

void TAbsSMTPClient::Command(const std::string& Cmd, const char* Tag,
                             std::initializer_list<int> Codes) {
    SendCommand(Cmd);
    Check<EAbsSMTPClient>(CodeIn(Codes), Tag);
}

void TAbsSMTPClient::Connect(const std::string& HostName) {
    TAbsClient::Connect(HostName);
    Check<EAbsSMTPClient>(ReplyCode == 220, "Connect");
    if (TlsMode == TTlsMode::StartTls) StartTls();
}

void TAbsSMTPClient::Helo(const std::string& Domain) {
    Command("HELO " + Domain, "Helo", {250});
}

void TAbsSMTPClient::Mail(const std::string& From) {
    SendCommand("MAIL FROM: <" + From + ">");
    CheckMail();
}

void TAbsSMTPClient::CheckMail() const {
    // A server that wants authentication first answers 451 here.
    Check<EAbsSMTPClient>(ReplyCode != 451, "Smtp-Auth required");
    Check<EAbsSMTPClient>(ReplyCode == 250, "Mail");
}

void TAbsSMTPClient::Rcpt(const std::string& To) {
    SendCommand("RCPT TO: <" + To + ">");
    CheckRcpt();
}

void TAbsSMTPClient::CheckRcpt() const {
    Check<EAbsSMTPClient>(CodeIn({250, 251}), "Rcpt");
}

void TAbsSMTPClient::Data() {
    SendCommand("DATA");
    CheckData();
}

void TAbsSMTPClient::CheckData() const {
    Check<EAbsSMTPClient>(ReplyCode == 354, "Data");
}

void TAbsSMTPClient::Rset() {
    Command("RSET", "Rset", {250});
}

void TAbsSMTPClient::Quit() {
    Command("QUIT", "Quit", {221});
}

void TAbsSMTPClient::Ehlo(const std::string& Domain, TStrings* Lines, const std::string& AuthMethod,
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
bool TAbsSMTPClient::SaslChallenge(std::string& Text) const {
    if (ReplyCode != 334) return false;
    // The whole line: LastReply is cut to the width of a log line.
    Text = LastLine.size() > 4 ? Trimmed(std::string_view(LastLine).substr(4)) : std::string();
    return true;
}

bool TAbsSMTPClient::SaslSucceeded() const {
    return ReplyCode == 235;
}

void TAbsSMTPClient::AuthSasl(const std::string& Method, const TStrings& Extensions,
                              const TSaslAccount& Account) {
    std::unique_ptr<TSaslMechanism> mechanism = MakeSaslMechanism(Method, Account);
    // RFC 4954 section 4: the AUTH line may hold 12288 octets with CR LF.
    Authenticate(*mechanism, 12286, OfferedMechanisms(Extensions, "AUTH"), "AUTH");
}

void TAbsSMTPClient::StartTls() {
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
void TAbsSMTPClient::CheckNothingEarly() {
    Socket->Flush();
    if (Socket->WaitForDataTime(0) > 0) {
        OutOfStep = true;
        GetResponse(nullptr);
        throw EAbsSMTPClient::CreateError("Data: Reply before end of message", LastReply);
    }
}

void TAbsSMTPClient::EndData() {
    CheckNothingEarly();
    Socket->WriteLn(".");
    ReadVerdict();
}

void TAbsSMTPClient::EndDataLater(std::function<void()> Judge) {
    CheckNothingEarly();
    EndBodyLater(std::move(Judge));
}

void TAbsSMTPClient::ReadVerdict() {
    GetVerdict();
    Check<EAbsSMTPClient>(ReplyCode == 250, "Data: After transfer");
}

bool TAbsSMTPClient::Ehlo(const std::string& Domain, TStrings* Lines) {
    SendCommandLines("EHLO " + Domain, Lines);
    return ReplyCode == 250;
}

void TAbsSMTPClient::DataRawLine(std::string_view Line) {
    Socket->QueueLn(Line == "." ? std::string_view("..") : Line);
}

void TAbsSMTPClient::DataText(const TStrings& Lines, bool StuffDots) {
    if (StuffDots) {
        SendDataLines(Lines);
    } else {
        for (const std::string& line : Lines)
            DataRawLine(line);
    }
    EndData();
}

void TSMTPClient::Connect(const std::string& HostName, const std::string& DomainName) {
    Connect(HostName);
    Domain = DomainName;
    try {
        Ehlo(Domain, Extensions, "", "", "");
    } catch (const EAbsSMTPClient&) {
        Helo(Domain);
    }
}

void TSMTPClient::Goodbye() {
    Quit();
}

void TSMTPClient::Disconnect() {
    TAbsSMTPClient::Disconnect();
    Domain.clear();
}

} // namespace brix
