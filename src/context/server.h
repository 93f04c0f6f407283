#pragma once
// The servers of a box as every job and -check see them: each read once
// from the box's keys into typed settings and checked once, and the one way
// a job opens its connection to one.

#include "clients/abs_client.h"
#include "context/secret.h"
#include "net/proxy.h"

#include <cstdint>
#include <string>
#include <vector>

namespace brix {

class tbrixconfig;
class tbrix_sinf;

enum class TProtocol { Pop3, Smtp, Nntp, Imap };

struct ServerProfile {
    TProtocol protocol = TProtocol::Pop3;
    // Its place in the box's list of servers of the protocol, from 1.
    int index = 1;
    std::string host;
    // A port number or a service name; the registered port of the TLS mode
    // when the box gives none.
    std::string port;
    TTlsMode tls = TTlsMode::None;
    // TLS because the port is one of implicit TLS and the box has no TLS
    // key for the server.
    bool tlsByPort = false;
    // PEM file of CAs trusted besides the system's; empty when not set.
    std::string caFile;
    // SHA-256 digests of certificates accepted as they are.
    std::vector<std::string> pins;
    std::int32_t timeoutMs = 60'000;
    // Where the secret comes from; read only when the job opens the
    // connection, never for -check.
    SecretSource secret;
    // The account and what to switch on; its Secret stays empty here.
    TServerLogin login;
    // The proxy the connection goes through (Kind None: direct), from the
    // protocol's proxy key or PROXY; its Password stays empty here and is
    // read from proxySecret when the connection is opened.
    TProxy proxy;
    SecretSource proxySecret;

    std::string Where() const { return host + ":" + port; }
};

// The first value of the protocol's servers that cannot be used (a word
// outside its key's set, a port that is no port, a password too long for
// the box line, a fingerprint that is none), with the key and what to fix;
// "" when there is none. -check shows it as the run's job says it.
std::string ProfileError(const tbrixconfig& box, TProtocol protocol);

// The servers of the protocol in the box, in their order (NNTP: its one
// server). A ProfileError raises ebrix_joberror with it and "; nothing was
// done": the job refuses to start, before anything is fetched, sent or
// deleted.
std::vector<ServerProfile> ServerProfiles(const tbrixconfig& box, TProtocol protocol);

// 995, 993, 465, 563 and their service names: ports that speak TLS from the
// first byte.
bool IsImplicitTlsPort(const std::string& port);

// The key belongs to a server profile: its problems are the profiles'.
bool IsProfileKey(const std::string& key);

// -check's description of a profile: "host port N, TLS, user U, password
// ****" (or "from `command`"), then the login method, then the proxy ("via
// SOCKS5 proxy host:port, user U"). No secret is shown.
std::string DescribeProfile(const ServerProfile& profile);

// The one way a job reaches a server: the transcript's heading ("job
// host:port"), the status line and the log line ("POP3: host:port"; both
// add " via SOCKS5 proxy host:port" when a proxy is used), the
// secret (a failing password command ends the job before anything is
// sent), then resolve and connect within the profile's time-out and the
// user's abort, TLS (implicit or STARTTLS, pins), the greeting, and the
// protocol's opening (capabilities, login, pipelining and compression where
// offered; Extensions and Compress say what the job wants of them).
void OpenConnection(TAbsClient& client, const ServerProfile& profile, const char* job,
                    tbrix_sinf* status, bool extensions = false);

// Sets the client's time-out and TLS from the profile, before Connect.
void PrepareClient(TAbsClient& client, const ServerProfile& profile);

// OpenConnection in the parts that a connection opened ahead of its turn
// (context/early_connection.h) takes apart: what is written when the
// server's turn comes (the job's server for its error lines, the
// transcript's heading, the status line, the log line), the login it
// brings (the secret not read yet), and the notes of its opening.
void AnnounceConnection(TAbsClient& client, const ServerProfile& profile, const char* job,
                        tbrix_sinf* status);
TServerLogin LoginOf(const ServerProfile& profile, bool extensions);
void LogOpenNotes(TAbsClient& client);

} // namespace brix
