// The socket classes over real loopback connections to the scripted server.

#include "net/buf_tcp_client_socket.h"
#include "net/net_fixture.h"
#include "net/socket_api.h"
#include "net/tcp_server_socket.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <thread>
#include <type_traits>

namespace brix {
namespace {

using testing::ClosedPort;
using testing::RaisedMessage;
using testing::Script;
using testing::ScriptServer;

// The jobs catch the socket errors by these classes; none may catch another's.
static_assert(std::is_base_of_v<EsktException, ETCPSocket> &&
              !std::is_base_of_v<ETCPClientSocket, ETCPSocket> &&
              !std::is_base_of_v<ETCPClientSocket, EBufTCPClientSocket>);

// A buffered socket connected to the server, collecting its log lines.
struct Connected {
    explicit Connected(ScriptServer& server, const std::string& host = "127.0.0.1") {
        socket.OnLogLine = [this](const std::string& line) { log.push_back(line); };
        socket.Timeout = 3000;
        socket.Connect(host, server.PortText());
    }
    // Declared first so that it outlives the socket, whose destructor logs.
    std::vector<std::string> log;
    TBufTCPClientSocket socket;
};

std::string ReadLine(TTCPClientSocket& s) {
    std::string line;
    s.ReadLn(line);
    return line;
}

TEST(BufSocket, ConnectAndDisconnectLogEachStepAndLookUpOnlyNames) {
    for (std::string host : {"127.0.0.1", "localhost"}) {
        ScriptServer server(Script().Send("hello"));
        Connected c(server, host);
        std::string p = server.PortText();
        std::vector<std::string> expected = {"Creating client socket...",
                                             "Resolving port name " + p,
                                             "Cannot resolv; using port number " + p};
        if (host == "localhost")
            expected.insert(expected.end(),
                            {"localhost does not look like ip. Trying to use it as host name ",
                             "resolved host name"});
        expected.push_back("trying to connect to " + host + ":" + p);
        EXPECT_EQ(c.log, expected);
        EXPECT_EQ(c.socket.HostName, host);
        EXPECT_EQ(c.socket.Port, server.Port());
        EXPECT_EQ(ReadLine(c.socket), "hello");
        int handle = c.socket.Handle;
        c.socket.Disconnect();
        EXPECT_EQ(c.log.back(), "Closing connection on socket " + std::to_string(handle) + "...");
        EXPECT_EQ(c.socket.Handle, -1);
        std::size_t logged = c.log.size();
        c.socket.Disconnect();
        EXPECT_EQ(c.log.size(), logged) << "a closed socket is left alone";
    }
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

TEST(BufSocket, EveryAddressOfANameIsTried) {
    ScriptServer server(Script().Send("third time lucky"));
    SeveralAddresses addresses({ClosedPort(), ClosedPort(), server.Port()});
    TBufTCPClientSocket s;
    s.Connect("multi.example", "7");
    EXPECT_EQ(ReadLine(s), "third time lucky");
    EXPECT_EQ(s.HostName, "multi.example");
}

TEST(BufSocket, FailedConnectNamesHostAndPortOrTheUnknownName) {
    std::string port = std::to_string(ClosedPort()), refused = std::to_string(ECONNREFUSED);
    TBufTCPClientSocket s;
    EXPECT_EQ(RaisedMessage<ETCPSocket>([&] { s.Connect("127.0.0.1", port); }),
              "Connect: Cannot connect to 127.0.0.1:" + port + ". (Error=" + refused + ")");
    {
        SeveralAddresses addresses({ClosedPort(), ClosedPort()});
        EXPECT_EQ(RaisedMessage<ETCPSocket>([&] { s.Connect("multi.example", "7"); }),
                  "Connect: Cannot connect to multi.example:7. (Error=" + refused + ")");
        EXPECT_NE(s.Handle, -1) << "the handle stays until Disconnect";
    }
    // A label longer than 63 characters cannot be put into a DNS query, so
    // the resolver fails without sending anything; the message shows its code.
    std::string host = std::string(64, 'n') + ".invalid";
    std::string message = RaisedMessage<ETCPClientSocket>([&] { s.Connect(host, "110"); });
    EXPECT_EQ(message.rfind("Connect: Host name " + host + " unknown.. (Error=-", 0), 0u)
        << message;
}

TEST(BufSocket, ConnectsToAnIpv6Address) {
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        GTEST_SKIP() << "no IPv6 loopback on this machine";
    }
    TBufTCPClientSocket s;
    s.Connect("::1", std::to_string(ntohs(addr.sin6_port)));
    int peer = ::accept(fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::send(peer, "v6\r\n", 4, 0), 4);
    EXPECT_EQ(ReadLine(s), "v6");
    ::close(peer);
    ::close(fd);
}

TEST(BufSocket, LinesLoseCrAndLfAndAreKeptWholeAcrossRefills) {
    std::string l300(300, 'x'), l100k(100000, 'y');
    l100k[0] = 'A';
    l100k.back() = 'Z';
    Script script = Script().SendRaw("abc\r\na\rb\n\nlast\r\n").Send(l300).Send(l100k);
    ScriptServer server(script.ByteByByte().Send("slow line").SendLf("lf only"));
    Connected c(server);
    std::string line;
    EXPECT_EQ(c.socket.ReadLn(line), 3);
    EXPECT_EQ(line, "abc");
    EXPECT_EQ(ReadLine(c.socket), "ab");
    EXPECT_EQ(c.socket.ReadLn(line), 0);
    EXPECT_TRUE(c.socket.LastLineEnded());
    EXPECT_EQ(ReadLine(c.socket), "last");
    EXPECT_EQ(ReadLine(c.socket), l300);
    EXPECT_EQ(ReadLine(c.socket), l100k);
    EXPECT_EQ(ReadLine(c.socket), "slow line");
    EXPECT_EQ(ReadLine(c.socket), "lf only");
    EXPECT_GT(c.socket.ReceiveCalls, 3u);
}

TEST(BufSocket, BufferedLinesCostNoReceiveAndWaitsRunOut) {
    ScriptServer server(Script().SendRaw("one\r\ntwo\r\n").Pause(300).Send("late"));
    Connected c(server);
    // Let both lines arrive before the first refill.
    ASSERT_EQ(c.socket.WaitForDataTime(2000000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadLine(c.socket), "one");
    auto calls = c.socket.ReceiveCalls;
    std::size_t logged = c.log.size();
    EXPECT_EQ(c.socket.WaitForDataTime(1000), 1);
    EXPECT_EQ(c.log.size(), logged) << "a buffered answer logs nothing";
    EXPECT_EQ(ReadLine(c.socket), "two");
    EXPECT_EQ(c.socket.ReceiveCalls, calls);
    EXPECT_EQ(c.socket.WaitForDataTime(20000), 0);
    EXPECT_EQ(c.log.back(), "Waiting for data on socket " + std::to_string(c.socket.Handle) +
                                " for 20000 microseconds");
    EXPECT_EQ(ReadLine(c.socket), "late");
}

TEST(BufSocket, PeerClosingMidLineEndsTheStream) {
    ScriptServer server(Script().SendRaw("abc").Close());
    Connected c(server);
    EXPECT_EQ(ReadLine(c.socket), "abc");
    EXPECT_FALSE(c.socket.LastLineEnded());
    EXPECT_TRUE(c.socket.PeerClosed());
    EXPECT_TRUE(c.socket.AtEnd());
    auto calls = c.socket.ReceiveCalls;
    EXPECT_EQ(ReadLine(c.socket), "");
    EXPECT_EQ(c.socket.WaitForDataTime(5000000), 1);
    EXPECT_EQ(c.socket.ReceiveCalls, calls) << "the peer's close is remembered";
    EXPECT_EQ(RaisedMessage<ETCPClientSocket>([&] {
                  for (int i = 0; i < 100; ++i) {
                      c.socket.WriteLn("data");
                      std::this_thread::sleep_for(std::chrono::milliseconds(5));
                  }
              }).rfind("Write. (Error=", 0),
              0u);
}

TEST(BufSocket, SilentOrStalledPeerTimesOutReadAndWrite) {
    ScriptServer server({Script().Pause(1500), Script().Pause(2000)});
    Connected reader(server), writer(server);
    reader.socket.Timeout = 150;
    EXPECT_EQ(RaisedMessage<ETCPClientSocket>([&] { ReadLine(reader.socket); }),
              "Read. (Error=" + std::to_string(ETIMEDOUT) + ")");
    writer.socket.Timeout = 200;
    std::string block(1 << 20, 'w');
    EXPECT_EQ(RaisedMessage<ETCPClientSocket>([&] {
                  for (int i = 0; i < 256; ++i) // 256 MiB into a peer that reads nothing
                      writer.socket.Write(block.data(), static_cast<int>(block.size()));
              }),
              "Write. (Error=" + std::to_string(ETIMEDOUT) + ")");
    reader.socket.Disconnect();
    writer.socket.Disconnect();
}

TEST(BufSocket, LineBeyondSixteenMebibytesIsAProtocolError) {
    ScriptServer server(Script().SendRaw(std::string(kMaxLineLength + 10, 'h')),
                        std::chrono::seconds(10));
    Connected c(server);
    EXPECT_EQ(RaisedMessage<EBufTCPClientSocket>([&] { ReadLine(c.socket); }),
              "ReadLn. (Error=" + std::to_string(EMSGSIZE) + ")");
    c.socket.Disconnect();
}

TEST(BufSocket, WritesAreWholeAndQueuedLinesLeaveWithTheNextWriteOrRead) {
    std::string l255(255, 'w'), l100k(100000, 'v');
    Script script = Script().ExpectAny().ExpectAny().ExpectAny();
    ScriptServer server(
        script.Expect("a").Expect(".b").Expect(".").Send("250 ok").Expect("queued").Send("seen"));
    Connected c(server);
    EXPECT_EQ(c.socket.WriteLn(""), 2);
    EXPECT_EQ(c.socket.WriteLn(l255), 257);
    EXPECT_EQ(c.socket.WriteLn(l100k), 100002);
    std::size_t before = c.log.size();
    c.socket.QueueLn("a");
    c.socket.QueueLn(".b");
    c.socket.WriteLn(".");
    EXPECT_EQ(std::vector<std::string>(c.log.begin() + static_cast<long>(before), c.log.end()),
              std::vector<std::string>{"Writing data to socket " + std::to_string(c.socket.Handle) +
                                       "..."});
    EXPECT_EQ(ReadLine(c.socket), "250 ok");
    c.socket.QueueLn("queued");
    EXPECT_EQ(ReadLine(c.socket), "seen");
    c.socket.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "\r\n" + l255 + "\r\n" + l100k + "\r\na\r\n.b\r\n.\r\nqueued\r\n");
}

TEST(ResolvePort, ServiceNamesNumbersAndBadTexts) {
    std::vector<std::string> log;
    TTCPSocket s;
    s.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    EXPECT_EQ(s.ResolvePort("pop3"), htons(110));
    EXPECT_EQ(s.Port, 110);
    EXPECT_EQ(s.ResolvePort("65535"), htons(65535));
    EXPECT_EQ(log, (std::vector<std::string>{
                       "Resolving port name pop3", "Resolved; port number 110",
                       "Resolving port name 65535", "Cannot resolv; using port number 65535"}));
    for (const char* text : {"abc", "", "11 0"})
        EXPECT_EQ(RaisedMessage<EConvertError>([&] { s.ResolvePort(text); }),
                  std::string("'") + text + "' is not a valid integer value");
    for (const char* text : {"65536", "-1"})
        EXPECT_EQ(RaisedMessage<ERangeError>([&] { s.ResolvePort(text); }), "Range check error");
    TBufTCPClientSocket client;
    EXPECT_THROW(client.Connect("127.0.0.1", "nosuchservice"), EConvertError);
}

TEST(ServerSocket, AcceptsAConnectionThatReadsUnbuffered) {
    std::vector<std::string> log;
    TTCPServerSocket server("0", "127.0.0.1");
    server.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    server.Listen();
    ASSERT_GT(server.LocalPort(), 0);
    TBufTCPClientSocket client;
    client.Connect("127.0.0.1", std::to_string(server.LocalPort()));
    server.Timeout = 2000;
    server.WaitForConnect();
    auto accepted = server.AcceptConnection();
    EXPECT_EQ(server.PeerAddress, "127.0.0.1");
    EXPECT_EQ(log, (std::vector<std::string>{"Putting socket on port 0 in listen state",
                                             "Accepting connection..."}));
    accepted->WriteLn("from server");
    EXPECT_EQ(ReadLine(client), "from server");
    // The accepted socket is a plain TTCPClientSocket: its ReadLn takes one
    // byte per receive and drops every CR.
    client.Write("first\r\nsec\rond\n", 15);
    client.WriteLn(std::string(300, 'u'));
    log.clear();
    accepted->OnLogLine = [&](const std::string& l) { log.push_back(l); };
    EXPECT_EQ(ReadLine(*accepted), "first");
    EXPECT_EQ(log, std::vector<std::string>{"Reading data on socket " +
                                            std::to_string(accepted->Handle) + "..."});
    EXPECT_GE(accepted->ReceiveCalls, 7u);
    EXPECT_EQ(ReadLine(*accepted), "second");
    EXPECT_EQ(ReadLine(*accepted), std::string(300, 'u'));
}

} // namespace
} // namespace brix
