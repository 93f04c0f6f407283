// brix-oauth2 as a box's POP3PASSCMD, through the real program: the access
// token it prints, from its cache or refreshed at a fake provider on
// 127.0.0.1, is what XOAUTH2 and OAUTHBEARER carry to the scripted server;
// a refresh token the provider refuses reaches the user in the helper's own
// words, and the server never hears a password.

#include "clients/base64.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brix {
namespace {

using namespace testing;

const std::string kHelper = BRIX_SOURCE_DIR "/tools/oauth2/brix-oauth2";
const std::string kFakeProvider = BRIX_SOURCE_DIR "/tests/tools/fake_authorization_server.py";
const std::string kUser = "joe@example.org";

// The fake provider of the helper's own tests, as a process of its own
// that knows `refreshToken` (none: every refresh is refused).
class FakeProvider {
  public:
    explicit FakeProvider(const std::string& refreshToken) {
        std::vector<std::string> args{"python3", kFakeProvider, "--lifetime", "60"};
        if (!refreshToken.empty()) args.insert(args.end(), {"--refresh-token", refreshToken});
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = Spawn("/usr/bin/env", args, {}, "", fds[1], -1);
        ::close(fds[1]);
        // Its first line is its address.
        char c;
        pollfd p{fds[0], POLLIN, 0};
        while (::poll(&p, 1, 10000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n')
            url_ += c;
        ::close(fds[0]);
    }
    ~FakeProvider() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            WaitExit(pid_);
        }
    }
    const std::string& Url() const { return url_; }

  private:
    pid_t pid_ = -1;
    std::string url_;
};

// A token file as `brix-oauth2 authorize` leaves it.
std::string TokenFile(const std::string& tokenUrl, long expires) {
    return R"({"client_id": "brix-test-client", "client_secret": "s3cret-client", )"
           R"("store": "file", "refresh_token": "refresh-0", "token_url": ")" +
           tokenUrl + R"(/token", "access_token": "cached-token", "access_token_expires": )" +
           std::to_string(expires) + "}";
}

Script LogsInWith(const std::string& method, const std::string& response) {
    return Script()
        .Send("+OK ready")
        .Expect("CAPA")
        .SendData("+OK", {"USER", "SASL XOAUTH2 OAUTHBEARER"})
        .Expect("AUTH " + method + " " + Base64Encode(response))
        .Send("+OK logged in")
        .Expect("STAT")
        .Send("+OK 0 0")
        .Expect("UIDL")
        .SendLines({"+OK", "."})
        .Expect("QUIT")
        .Send("+OK bye");
}

struct Row {
    const char* name;
    const char* method;
    bool expired;         // the cached access token has run out
    bool providerKnowsIt; // the provider still takes the refresh token
    std::string token;    // sent to the server; empty: nothing is sent
};

TEST(OAuth2Helper, TheTokenItPrintsIsTheOneBrixSends) {
    const Row rows[] = {
        {"cached token, XOAUTH2", "XOAUTH2", false, false, "cached-token"},
        {"refreshed token, OAUTHBEARER", "OAUTHBEARER", true, true, "access-1"},
        {"refresh token revoked", "XOAUTH2", true, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // The cached token needs no provider: none listens there.
        std::optional<FakeProvider> provider;
        std::string tokenUrl = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort());
        if (row.expired) {
            provider.emplace(row.providerKnowsIt ? "refresh-0" : "");
            ASSERT_FALSE(provider->Url().empty()) << "the fake provider did not start";
            tokenUrl = provider->Url();
        }
        TempTree host;
        host.MakeDir("spool");
        host.Write("qvdesk.cfg", "Farben=1\r\n");
        host.Write("oauth2/box.json",
                   TokenFile(tokenUrl, row.expired ? 0 : std::time(nullptr) + 3600));
        ::chmod((host / "oauth2/box.json").c_str(), 0600);

        std::optional<ScriptServer> server;
        std::string port = std::to_string(FreeLoopbackPort());
        if (!row.token.empty()) {
            const std::string bearer = "auth=Bearer " + row.token + "\x01\x01";
            server.emplace(LogsInWith(row.method, std::string(row.method) == "XOAUTH2"
                                                      ? "user=" + kUser + "\x01" + bearer
                                                      : "n,a=" + kUser +
                                                            ",\x01host=127.0.0.1\x01"
                                                            "port=" +
                                                            port + "\x01" + bearer),
                           std::chrono::seconds(20), ScriptServer::On::V4, std::stoi(port));
        }
        host.Write("BOX1.bfg", "POP3SERVER=127.0.0.1\nPOP3PORT=" + port + "\nPOP3USER=" + kUser +
                                   "\nPOP3AUTH=" + row.method + "\nPOP3PASSCMD=" + kHelper +
                                   " token --dir " + host.Path() + "oauth2 box\n");
        ::chmod((host / "BOX1.bfg").c_str(), 0600);

        auto r = RunBrixApart({"box1.bfg", "-q"}, {"QV=" + host.Path()});
        if (!row.token.empty()) {
            EXPECT_EQ(r.exitCode, 0) << r.errors;
            EXPECT_EQ(r.errors, "");
            EXPECT_TRUE(server->Passed()) << server->Report();
            const std::string file = host.Read("oauth2/box.json");
            EXPECT_NE(file.find("\"access_token\": \"" + row.token + "\""), std::string::npos)
                << file;
        } else {
            EXPECT_EQ(r.exitCode, 105);
            // The helper's words, then Brix's line: nothing was sent.
            EXPECT_NE(r.errors.find("brix-oauth2: the provider refused the refresh token of box "
                                    "(invalid_grant: Token has been expired or revoked.)"),
                      std::string::npos)
                << r.errors;
            EXPECT_NE(r.errors.find("Run `brix-oauth2 authorize box` to authorize again.\n"
                                    "Error (getmail): POP3PASSCMD for 127.0.0.1: exit code 3; "
                                    "nothing was sent\n"),
                      std::string::npos)
                << r.errors;
        }
    }
}

} // namespace
} // namespace brix
