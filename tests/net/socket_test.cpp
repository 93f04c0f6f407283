// Connecting over real loopback connections: every address of a name is
// tried, and failures name what could not be reached.

#include "clients/client_fixture.h"
#include "net/buf_tcp_client_socket.h"
#include "net/socket_api.h"
#include "testing/real_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::FreeLoopbackPort;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

std::string ReadLine(TTCPClientSocket& s) {
    std::string line;
    s.ReadLn(line);
    return line;
}

// A name with several addresses, the first of which refuse.
struct SeveralAddresses {
    SeveralAddresses(std::vector<int> ports) {
        SetHostResolver(
            [ports](const std::string&, std::uint16_t, std::vector<SocketAddress>& out) {
                for (int port : ports) {
                    SocketAddress a;
                    DottedAddress("127.0.0.1", htons(static_cast<std::uint16_t>(port)), a);
                    out.push_back(a);
                }
                return 0;
            });
    }
    ~SeveralAddresses() { SetHostResolver(nullptr); }
};

TEST(BufSocket, EveryAddressIsTriedAndFailuresNameHostAndPortOrTheUnknownName) {
    std::string port = std::to_string(FreeLoopbackPort()), refused = std::to_string(ECONNREFUSED);
    TBufTCPClientSocket s;
    EXPECT_EQ(RaisedMessage<ETCPSocket>([&] { s.Connect("127.0.0.1", port); }),
              "Connect: Cannot connect to 127.0.0.1:" + port + ". (Error=" + refused + ")");
    {
        ScriptServer server(Script().Send("third time lucky"));
        SeveralAddresses addresses({FreeLoopbackPort(), FreeLoopbackPort(), server.Port()});
        s.Connect("multi.example", "7");
        EXPECT_EQ(ReadLine(s), "third time lucky");
        s.Disconnect();
    }
    // A label longer than 63 characters cannot be put into a DNS query, so
    // the resolver fails without sending anything; the message shows its code.
    std::string host = std::string(64, 'n') + ".invalid";
    std::string message = RaisedMessage<ETCPClientSocket>([&] { s.Connect(host, "110"); });
    EXPECT_EQ(message.rfind("Connect: Host name " + host + " unknown.. (Error=-", 0), 0u)
        << message;
}

} // namespace
} // namespace brix
