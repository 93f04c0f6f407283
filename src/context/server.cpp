#include "context/server.h"

#include "context/abort.h"
#include "context/config.h"
#include "context/job.h"
#include "context/log.h"
#include "display/status_lines.h"
#include "net/tls_layer.h"
#include "support/language.h"
#include "support/text.h"

#include <algorithm>
#include <array>
#include <utility>

namespace brix {

namespace {

// The keys each protocol's servers are read from, whose problems stop the
// job before it starts.
const std::array<const char*, 5> kPop3Keys = {"POP3AUTH", "POP3PASS", "POP3TLS", "POP3PORT",
                                              "PROXYPASS"};
const std::array<const char*, 5> kImapKeys = {"IMAPAUTH", "IMAPPASS", "IMAPTLS", "IMAPPORT",
                                              "PROXYPASS"};
const std::array<const char*, 5> kSmtpKeys = {"SMTPAUTH", "SMTPPASS", "SMTPTLS", "SMTPPORT",
                                              "PROXYPASS"};
const std::array<const char*, 4> kNntpKeys = {"NNTPPASS", "NNTPTLS", "NNTPPORT", "PROXYPASS"};

template <std::size_t N>
std::string KeyProblem(const tbrixconfig& box, const std::array<const char*, N>& keys) {
    for (const auto& [key, problem] : box.KeyErrors)
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) return problem;
    return "";
}

// The proxy key that holds for the protocol's servers: its own key when
// set, else PROXY.
std::pair<const char*, std::string> ProxyKeyOf(const tbrixconfig& box, TProtocol protocol) {
    const auto [key, value] = protocol == TProtocol::Pop3   ? std::pair{"POP3PROXY", &box.POP3PROXY}
                              : protocol == TProtocol::Imap ? std::pair{"IMAPPROXY", &box.IMAPPROXY}
                              : protocol == TProtocol::Smtp
                                  ? std::pair{"SMTPPROXY", &box.SMTPPROXY}
                                  : std::pair{"NNTPPROXY", &box.NNTPPROXY};
    const std::string own = Trimmed(*value);
    if (!own.empty()) return {key, own};
    return {"PROXY", Trimmed(box.PROXY)};
}

// The proxy of the protocol's servers into out (Kind None: direct), or
// what is wrong with its key.
std::string ReadProxy(const tbrixconfig& box, TProtocol protocol, TProxy& out) {
    out = TProxy{};
    const auto [key, value] = ProxyKeyOf(box, protocol);
    if (value.empty() || value == "-" || UpperAscii(value) == "NONE") return "";
    std::string problem;
    if (!ParseProxy(value, out, problem)) return std::string(key) + ": " + problem;
    if (!out.User.empty() && box.PROXYPASS.empty() && box.PROXYPASSCMD.empty())
        return std::string(key) + ": the proxy user " + out.User +
               " has no password: set PROXYPASS or PROXYPASSCMD";
    return "";
}

void ReadProxyOf(const tbrixconfig& box, ServerProfile& p) {
    ReadProxy(box, p.protocol, p.proxy);
    p.proxySecret = {"PROXYPASSCMD", box.PROXYPASSCMD, box.PROXYPASS,
                     p.proxy.Host,   p.proxy.Port,     p.proxy.User};
}

// What the box says of TLS for every server: the CA file and the pins.
// The words were checked by ProfileError.
void ReadTls(const tbrixconfig& box, const std::string& word, ServerProfile& p) {
    ParseTlsMode(word, p.tls);
    // A port of implicit TLS speaks nothing else: without a TLS key the
    // connection would wait for a greeting that never comes in plain text.
    p.tlsByPort = Trimmed(word).empty() && IsImplicitTlsPort(p.port);
    if (p.tlsByPort) p.tls = TTlsMode::Tls;
    p.caFile = TlsCAFileOf(box);
    std::string bad;
    ParseFingerprints(box.TLSFINGERPRINT, p.pins, bad);
}

// The keys of a protocol whose servers are word lists, and how its port
// and login method are read from them.
struct ListKeys {
    std::string tbrixconfig::*server;
    std::string tbrixconfig::*tls;
    std::string tbrixconfig::*timeout;
    std::string tbrixconfig::*user;
    std::string tbrixconfig::*pass;
    std::string tbrixconfig::*passCmd;
    const char* passCmdKey;
    std::string (*portOf)(const tbrixconfig&, int);
    std::string (*methodOf)(const tbrixconfig&, int);
};

ListKeys ListKeysOf(TProtocol protocol) {
    using C = tbrixconfig;
    switch (protocol) {
    case TProtocol::Pop3:
        return {&C::POP3SERVER,  &C::POP3TLS,   &C::POP3TIMEOUT, &C::POP3USER, &C::POP3PASS,
                &C::POP3PASSCMD, "POP3PASSCMD", Pop3PortOf,      Pop3MethodOf};
    case TProtocol::Imap:
        return {&C::IMAPSERVER,  &C::IMAPTLS,   &C::IMAPTIMEOUT, &C::IMAPUSER, &C::IMAPPASS,
                &C::IMAPPASSCMD, "IMAPPASSCMD", ImapPortOf,      ImapMethodOf};
    default:
        return {&C::SMTPSERVER,  &C::SMTPTLS,   &C::SMTPTIMEOUT, &C::SMTPUSER, &C::SMTPPASS,
                &C::SMTPPASSCMD, "SMTPPASSCMD", SmtpPortOf,      SmtpMethodOf};
    }
}

// A server of POP3SERVER, IMAPSERVER or SMTPSERVER: word i of each of its
// lists.
ServerProfile ListedProfile(const tbrixconfig& box, TProtocol protocol, int i) {
    const ListKeys k = ListKeysOf(protocol);
    ServerProfile p;
    p.protocol = protocol;
    p.index = i;
    p.host = ExtractWord(i, box.*k.server);
    p.port = k.portOf(box, i);
    ReadTls(box, ExtractWord(i, box.*k.tls), p);
    p.timeoutMs = TimeoutMillis(box.*k.timeout);
    p.login.User = ExtractWord(i, box.*k.user);
    p.login.Method = k.methodOf(box, i);
    p.secret = {k.passCmdKey, box.*k.passCmd, ExtractWord(i, box.*k.pass),
                p.host,       p.port,         p.login.User};
    // POP3 and IMAP always log in (their mail is the account's); SMTP with
    // a user and a secret, unless the box says KEINE.
    // The mail fetch's first question: which messages are there.
    if (protocol == TProtocol::Pop3) p.login.Ahead = {"UIDL"};
    // IMAP's COMPRESS=DEFLATE by the same rule as the news fetch's: where
    // the link, not the server, limits.
    if (protocol == TProtocol::Imap) p.login.Compress = TCompress::OnSlowLink;
    p.login.LogIn =
        protocol != TProtocol::Smtp || (p.login.Method != "KEINE" && !p.login.User.empty() &&
                                        (!p.secret.password.empty() || !p.secret.command.empty()));
    ReadProxyOf(box, p);
    return p;
}

ServerProfile NntpProfile(const tbrixconfig& box) {
    ServerProfile p;
    p.protocol = TProtocol::Nntp;
    p.host = box.NNTPSERVER;
    p.port = NntpPortOf(box);
    ReadTls(box, box.NNTPTLS, p);
    p.timeoutMs = TimeoutMillis(box.NNTPTIMEOUT);
    p.login.User = box.NNTPUSER;
    p.secret = {"NNTPPASSCMD", box.NNTPPASSCMD, box.NNTPPASS, p.host, p.port, p.login.User};
    p.login.LogIn = !p.login.User.empty() && (!box.NNTPPASS.empty() || !box.NNTPPASSCMD.empty());
    p.login.Compress = !box.NNTPCOMPRESS   ? TCompress::OnSlowLink
                       : *box.NNTPCOMPRESS ? TCompress::Always
                                           : TCompress::Never;
    ReadProxyOf(box, p);
    return p;
}

const char* ProtocolName(TProtocol protocol) {
    switch (protocol) {
    case TProtocol::Pop3:
        return "POP3";
    case TProtocol::Imap:
        return "IMAP";
    case TProtocol::Smtp:
        return "SMTP";
    default:
        return "NNTP";
    }
}

} // namespace

bool IsImplicitTlsPort(const std::string& port) {
    const std::string p = UpperAscii(Trimmed(port));
    return p == "995" || p == "993" || p == "465" || p == "563" || p == "POP3S" || p == "IMAPS" ||
           p == "SMTPS" || p == "SUBMISSIONS" || p == "NNTPS";
}

std::string ProfileError(const tbrixconfig& box, TProtocol protocol) {
    const std::string problem = protocol == TProtocol::Pop3   ? KeyProblem(box, kPop3Keys)
                                : protocol == TProtocol::Imap ? KeyProblem(box, kImapKeys)
                                : protocol == TProtocol::Smtp ? KeyProblem(box, kSmtpKeys)
                                                              : KeyProblem(box, kNntpKeys);
    if (!problem.empty()) return problem;
    std::vector<std::string> pins;
    std::string bad;
    if (!ParseFingerprints(box.TLSFINGERPRINT, pins, bad))
        return "TLSFINGERPRINT: " + bad +
               " is no SHA-256 fingerprint (64 hex digits, colons optional)";
    TProxy proxy;
    return ReadProxy(box, protocol, proxy);
}

std::vector<ServerProfile> ServerProfiles(const tbrixconfig& box, TProtocol protocol) {
    if (const std::string problem = ProfileError(box, protocol); !problem.empty())
        throw ebrix_joberror(problem + "; nothing was done");
    std::vector<ServerProfile> profiles;
    switch (protocol) {
    case TProtocol::Pop3:
        for (int i = 1; i <= WordCount(box.POP3SERVER); ++i)
            profiles.push_back(ListedProfile(box, protocol, i));
        break;
    case TProtocol::Imap:
        for (int i = 1; i <= WordCount(box.IMAPSERVER); ++i)
            profiles.push_back(ListedProfile(box, protocol, i));
        break;
    case TProtocol::Smtp:
        for (int i = 1; i <= WordCount(box.SMTPSERVER); ++i)
            profiles.push_back(ListedProfile(box, protocol, i));
        break;
    case TProtocol::Nntp:
        profiles.push_back(NntpProfile(box));
        break;
    }
    return profiles;
}

bool IsProfileKey(const std::string& key) {
    auto in = [&](const auto& keys) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    return in(kPop3Keys) || in(kImapKeys) || in(kSmtpKeys) || in(kNntpKeys);
}

std::string DescribeProfile(const ServerProfile& p) {
    static const char* const kTls[] = {"no TLS", "STARTTLS", "TLS"};
    const TServerLogin& login = p.login;
    // The command is shown: it names where the secret lives, not the secret.
    std::string text = std::string(ProtocolName(p.protocol)) + " " + p.host + " port " + p.port +
                       ", " + kTls[static_cast<int>(p.tls)] +
                       (p.tlsByPort ? " (the port's own)" : "") + ", user " +
                       (login.User.empty() ? "none" : login.User) + ", password " +
                       (!p.secret.command.empty()   ? "from `" + p.secret.command + "`"
                        : p.secret.password.empty() ? "none"
                                                    : "****");
    switch (p.protocol) {
    case TProtocol::Pop3:
        if (!login.Method.empty())
            text += login.Method == "APOP" ? ", APOP" : ", AUTH " + login.Method;
        break;
    case TProtocol::Imap:
        // Without a mechanism the LOGIN command, which needs no word.
        if (!login.Method.empty()) text += ", AUTH " + login.Method;
        [[fallthrough]];
    case TProtocol::Nntp:
        if (login.Compress == TCompress::Always) text += ", COMPRESS DEFLATE when offered";
        if (login.Compress == TCompress::OnSlowLink)
            text += ", COMPRESS DEFLATE when offered and the round trip is " +
                    std::to_string(kCompressFromRttUs / 1000) + " ms or more";
        break;
    case TProtocol::Smtp:
        text +=
            ", AUTH " + (login.Method.empty() || login.Method == "KEINE" ? "none" : login.Method);
        break;
    }
    if (p.proxy.Used())
        text += ", via " + p.proxy.Name() + (p.proxy.User.empty() ? "" : ", user " + p.proxy.User);
    return text;
}

void PrepareClient(TAbsClient& client, const ServerProfile& profile) {
    client.Service = profile.port;
    client.Socket->Timeout = profile.timeoutMs;
    client.TlsMode = profile.tls;
    client.TlsCAFile = profile.caFile;
    client.TlsPins = profile.pins;
    client.Socket->Proxy = profile.proxy;
}

void AnnounceConnection(TAbsClient& client, const ServerProfile& profile, const char* job,
                        tbrix_sinf* status) {
    const std::string where = profile.Where();
    const std::string via = profile.proxy.Used() ? " via " + profile.proxy.Name() : "";
    SetJobServer((profile.login.User.empty() ? "" : profile.login.User + "@") + where,
                 profile.timeoutMs / 1000);
    OpenTranscript(client, std::string(job) + " " + where + via);
    if (status) {
        status->SetServer(where);
        status->SetInfo("connecting ...");
    }
    WriteLog(std::string(ProtocolName(profile.protocol)) + ": " + where + via, 1);
}

TServerLogin LoginOf(const ServerProfile& profile, bool extensions) {
    TServerLogin login = profile.login;
    login.Extensions = extensions;
    return login;
}

void LogOpenNotes(TAbsClient& client) {
    for (const std::string& note : client.OpenNotes)
        WriteLog(note, 1);
    client.OpenNotes.clear();
}

void OpenConnection(TAbsClient& client, const ServerProfile& profile, const char* job,
                    tbrix_sinf* status, bool extensions) {
    PrepareClient(client, profile);
    AnnounceConnection(client, profile, job, status);
    TServerLogin login = LoginOf(profile, extensions);
    // The secret before the connection: a helper command that fails leaves
    // the server untouched.
    if (login.LogIn) {
        login.Secret = SecretOf(profile.secret);
        WatchForPlainText(job, client, login.User);
    }
    if (!profile.proxy.User.empty()) client.Socket->Proxy.Password = SecretOf(profile.proxySecret);
    client.Connect(profile.host);
    CheckUserAbort();
    if (login.LogIn && profile.protocol == TProtocol::Nntp) {
        if (status) status->SetInfo(Tr("newsserver authentification"));
        WriteLog(Tr("newsserver authentification ..."), 1);
    }
    client.Open(login);
    LogOpenNotes(client);
    CheckUserAbort();
}

} // namespace brix
