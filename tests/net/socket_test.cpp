// The socket classes over real loopback connections to the scripted server.

#include "net/buf_tcp_client_socket.h"
#include "net/socket_api.h"
#include "net/tcp_server_socket.h"
#include "testing/script_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using testing::Script;
using testing::ScriptServer;

// A buffered socket connected to the server, collecting its log lines.
struct Connected {
    explicit Connected(ScriptServer& server) {
        socket.OnLogLine = [this](const std::string& line) { log.push_back(line); };
        socket.Timeout = 3000;
        socket.Connect("127.0.0.1", server.PortText());
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

// A port on 127.0.0.1 with nobody listening.
int ClosedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

TEST(SktException, MessageCarriesTagAndErrorText) {
    EXPECT_STREQ(ETCPSocket::CreateError("Connect", 111).what(), "Connect. (Error=111)");
    EXPECT_STREQ(EsktException::CreateError("Connect: No service specified", "").what(),
                 "Connect: No service specified. (Error=)");
    EXPECT_STREQ(EBufTCPClientSocket::CreateError("ReadLn", "5").ClassName(),
                 "EBufTCPClientSocket");
}

TEST(SktException, SocketClassesDeriveOnlyFromTheRoot) {
    try {
        throw ETCPSocket::CreateError("x", 1);
    } catch (const ETCPClientSocket&) {
        FAIL() << "ETCPSocket must not be an ETCPClientSocket";
    } catch (const EsktException& e) {
        EXPECT_STREQ(e.ClassName(), "ETCPSocket");
    }
}

TEST(BufSocket, ConnectToDottedAddressLogsNoNameLookUp) {
    ScriptServer server(Script().Send("hello"));
    Connected c(server);
    std::string p = server.PortText();
    std::vector<std::string> expected = {"Creating client socket...", "Resolving port name " + p,
                                         "Cannot resolv; using port number " + p,
                                         "trying to connect to 127.0.0.1:" + p};
    EXPECT_EQ(c.log, expected);
    EXPECT_EQ(c.socket.HostName, "127.0.0.1");
    EXPECT_EQ(c.socket.Port, server.Port());
    EXPECT_EQ(ReadLine(c.socket), "hello");
}

TEST(BufSocket, HostNameIsResolved) {
    ScriptServer server(Script().Send("hi"));
    std::vector<std::string> log;
    TBufTCPClientSocket s;
    s.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    s.Connect("localhost", server.PortText());
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[3], "localhost does not look like ip. Trying to use it as host name ");
    EXPECT_EQ(log[4], "resolved host name");
    EXPECT_EQ(log[5], "trying to connect to localhost:" + server.PortText());
    EXPECT_EQ(ReadLine(s), "hi");
}

// A name with several addresses, the first of which refuses.
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

TEST(BufSocket, NameWhoseAddressesAllRefuseRaisesCannotConnect) {
    SeveralAddresses addresses({ClosedPort(), ClosedPort()});
    TBufTCPClientSocket s;
    try {
        s.Connect("multi.example", "7");
        FAIL() << "connected";
    } catch (const ETCPSocket& e) {
        EXPECT_EQ(e.Message(), "Connect: Cannot connect to multi.example:7. (Error=" +
                                   std::to_string(ECONNREFUSED) + ")");
    }
    EXPECT_NE(s.Handle, -1) << "the handle stays until Disconnect";
    s.Disconnect();
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

TEST(BufSocket, LinesLoseCrAndLf) {
    ScriptServer server(Script().SendRaw("abc\r\na\rb\n\nlast\r\n"));
    Connected c(server);
    std::string line;
    EXPECT_EQ(c.socket.ReadLn(line), 3);
    EXPECT_EQ(line, "abc");
    EXPECT_EQ(ReadLine(c.socket), "ab");
    EXPECT_EQ(c.socket.ReadLn(line), 0);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(c.socket.LastLineEnded());
    EXPECT_EQ(ReadLine(c.socket), "last");
}

TEST(BufSocket, LongLinesAreKeptWhole) {
    std::string l300(300, 'x'), l100k(100000, 'y');
    l100k[0] = 'A';
    l100k.back() = 'Z';
    ScriptServer server(Script().Send(l300).Send(l100k).Send("next"));
    Connected c(server);
    EXPECT_EQ(ReadLine(c.socket), l300);
    EXPECT_EQ(ReadLine(c.socket), l100k);
    EXPECT_EQ(ReadLine(c.socket), "next");
}

TEST(BufSocket, TwoLinesInOneBlockCostOneReceive) {
    ScriptServer server(Script().SendRaw("one\r\ntwo\r\n"));
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
}

TEST(BufSocket, LineSplitOverRefillsIsJoined) {
    std::string l5000(5000, 'q');
    ScriptServer server(Script().Send(l5000).ByteByByte().Send("slow line").SendLf("lf only"));
    Connected c(server);
    EXPECT_EQ(ReadLine(c.socket), l5000);
    EXPECT_EQ(ReadLine(c.socket), "slow line");
    EXPECT_EQ(ReadLine(c.socket), "lf only");
    EXPECT_GT(c.socket.ReceiveCalls, 3u);
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
    EXPECT_EQ(ReadLine(c.socket), "");
    EXPECT_EQ(c.socket.WaitForDataTime(5000000), 1);
    EXPECT_EQ(c.socket.ReceiveCalls, calls) << "the peer's close is remembered";
}

TEST(BufSocket, WaitForDataTimeRunsOut) {
    ScriptServer server(Script().Pause(300).Send("late"));
    Connected c(server);
    EXPECT_EQ(c.socket.WaitForDataTime(20000), 0);
    EXPECT_EQ(c.log.back(), "Waiting for data on socket " + std::to_string(c.socket.Handle) +
                                " for 20000 microseconds");
    EXPECT_EQ(ReadLine(c.socket), "late");
}

TEST(BufSocket, SilentServerTimesOutWithEtimedout) {
    ScriptServer server(Script().Pause(1500));
    Connected c(server);
    c.socket.Timeout = 150;
    try {
        ReadLine(c.socket);
        FAIL() << "no time-out";
    } catch (const ETCPClientSocket& e) {
        EXPECT_EQ(e.Message(), "Read. (Error=" + std::to_string(ETIMEDOUT) + ")");
    }
}

TEST(BufSocket, StalledPeerTimesOutAWrite) {
    ScriptServer server(Script().Pause(2000));
    Connected c(server);
    c.socket.Timeout = 200;
    std::string block(1 << 20, 'w');
    try {
        for (int i = 0; i < 256; ++i)
            c.socket.Write(block.data(), static_cast<int>(block.size()));
        FAIL() << "256 MiB went into a peer that reads nothing";
    } catch (const ETCPClientSocket& e) {
        EXPECT_EQ(e.Message(), "Write. (Error=" + std::to_string(ETIMEDOUT) + ")");
    }
    c.socket.Disconnect();
}

TEST(BufSocket, LineBeyondSixteenMebibytesIsAProtocolError) {
    std::string huge(kMaxLineLength + 10, 'h');
    ScriptServer server(Script().SendRaw(huge), std::chrono::seconds(10));
    Connected c(server);
    try {
        ReadLine(c.socket);
        FAIL() << "no error";
    } catch (const EBufTCPClientSocket& e) {
        EXPECT_EQ(e.Message(), "ReadLn. (Error=" + std::to_string(EMSGSIZE) + ")");
    }
    c.socket.Disconnect();
}

TEST(BufSocket, WriteLnSendsTheWholeLineAndCrLf) {
    std::string l255(255, 'w'), l100k(100000, 'v');
    ScriptServer server(Script().ExpectAny().ExpectAny().ExpectAny().Send("ok"));
    Connected c(server);
    EXPECT_EQ(c.socket.WriteLn(""), 2);
    EXPECT_EQ(c.socket.WriteLn(l255), 257);
    EXPECT_EQ(c.socket.WriteLn(l100k), 100002);
    EXPECT_EQ(ReadLine(c.socket), "ok");
    c.socket.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "\r\n" + l255 + "\r\n" + l100k + "\r\n");
}

TEST(BufSocket, QueuedLinesLeaveWithTheNextLineInOneWrite) {
    ScriptServer server(Script().Expect("a").Expect(".b").Expect(".").Send("250 ok"));
    Connected c(server);
    std::size_t before = c.log.size();
    c.socket.QueueLn("a");
    c.socket.QueueLn(".b");
    c.socket.WriteLn(".");
    std::vector<std::string> writes(c.log.begin() + static_cast<long>(before), c.log.end());
    EXPECT_EQ(writes, std::vector<std::string>{"Writing data to socket " +
                                               std::to_string(c.socket.Handle) + "..."});
    EXPECT_EQ(ReadLine(c.socket), "250 ok");
    c.socket.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(BufSocket, QueuedLinesAreFlushedBeforeARead) {
    ScriptServer server(Script().Expect("queued").Send("seen"));
    Connected c(server);
    c.socket.QueueLn("queued");
    EXPECT_EQ(ReadLine(c.socket), "seen");
    c.socket.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(BufSocket, WritingToAClosedConnectionRaisesWrite) {
    ScriptServer server(Script().Close());
    Connected c(server);
    EXPECT_EQ(ReadLine(c.socket), "");
    EXPECT_TRUE(c.socket.PeerClosed());
    try {
        for (int i = 0; i < 100; ++i) {
            c.socket.WriteLn("data");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        FAIL() << "no error";
    } catch (const ETCPClientSocket& e) {
        EXPECT_EQ(e.Message().rfind("Write. (Error=", 0), 0u) << e.Message();
    }
}

TEST(BufSocket, DisconnectClosesOnceAndLogs) {
    ScriptServer server{Script()};
    Connected c(server);
    int handle = c.socket.Handle;
    c.socket.Disconnect();
    EXPECT_EQ(c.log.back(), "Closing connection on socket " + std::to_string(handle) + "...");
    EXPECT_EQ(c.socket.Handle, -1);
    std::size_t logged = c.log.size();
    c.socket.Disconnect();
    EXPECT_EQ(c.log.size(), logged);
}

TEST(BufSocket, RefusedConnectionNamesHostAndPort) {
    int port = ClosedPort();
    TBufTCPClientSocket s;
    try {
        s.Connect("127.0.0.1", std::to_string(port));
        FAIL() << "connected";
    } catch (const ETCPSocket& e) {
        EXPECT_EQ(e.Message(), "Connect: Cannot connect to 127.0.0.1:" + std::to_string(port) +
                                   ". (Error=" + std::to_string(ECONNREFUSED) + ")");
    }
}

TEST(BufSocket, UnknownHostNameShowsTwoFullStops) {
    // A label longer than 63 characters cannot be put into a DNS query, so
    // the resolver fails without sending anything.
    std::string host = std::string(64, 'n') + ".invalid";
    std::vector<std::string> log;
    TBufTCPClientSocket s;
    s.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    try {
        s.Connect(host, "110");
        FAIL() << "resolved";
    } catch (const ETCPClientSocket& e) {
        EXPECT_EQ(e.Message().rfind("Connect: Host name " + host + " unknown.. (Error=", 0), 0u)
            << e.Message();
        EXPECT_NE(e.Message().find("(Error=-"), std::string::npos) << "resolver code";
    }
    EXPECT_EQ(log.back(), host + " does not look like ip. Trying to use it as host name ");
}

TEST(ResolvePort, KnownServiceAndNumbers) {
    std::vector<std::string> log;
    TTCPSocket s;
    s.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    EXPECT_EQ(s.ResolvePort("pop3"), htons(110));
    EXPECT_EQ(s.Port, 110);
    EXPECT_EQ(log,
              (std::vector<std::string>{"Resolving port name pop3", "Resolved; port number 110"}));
    log.clear();
    EXPECT_EQ(s.ResolvePort("110"), htons(110));
    EXPECT_EQ(log, (std::vector<std::string>{"Resolving port name 110",
                                             "Cannot resolv; using port number 110"}));
    EXPECT_EQ(s.ResolvePort("nntp"), htons(119));
    EXPECT_EQ(s.ResolvePort("smtp"), htons(25));
    EXPECT_EQ(s.ResolvePort("65535"), htons(65535));
}

TEST(ResolvePort, BadTextsRaiseTheRuntimeErrors) {
    TTCPSocket s;
    struct Case {
        const char* text;
        const char* message;
        bool range;
    } cases[] = {{"abc", "'abc' is not a valid integer value", false},
                 {"", "'' is not a valid integer value", false},
                 {"11 0", "'11 0' is not a valid integer value", false},
                 {"65536", "Range check error", true},
                 {"-1", "Range check error", true}};
    for (const auto& c : cases) {
        try {
            s.ResolvePort(c.text);
            ADD_FAILURE() << c.text;
        } catch (const ERangeError& e) {
            EXPECT_TRUE(c.range) << c.text;
            EXPECT_EQ(e.Message(), c.message);
        } catch (const EConvertError& e) {
            EXPECT_FALSE(c.range) << c.text;
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST(ResolvePort, BadPortTextFailsConnectWithTheConversionError) {
    TBufTCPClientSocket s;
    EXPECT_THROW(s.Connect("127.0.0.1", "nosuchservice"), EConvertError);
}

TEST(TcpClientSocket, UnbufferedReadLnReadsByteByByte) {
    ScriptServer server(Script().SendRaw("first\r\nsec\rond\n").Send(std::string(300, 'u')));
    std::vector<std::string> log;
    TTCPClientSocket s;
    s.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    s.Connect("127.0.0.1", server.PortText());
    log.clear();
    EXPECT_EQ(ReadLine(s), "first");
    EXPECT_EQ(log, std::vector<std::string>{"Reading data on socket " + std::to_string(s.Handle) +
                                            "..."});
    EXPECT_EQ(ReadLine(s), "second");
    EXPECT_EQ(ReadLine(s), std::string(300, 'u'));
}

TEST(ServerSocket, AcceptsAConnectionOnLoopback) {
    std::vector<std::string> log;
    TTCPServerSocket server("0", "127.0.0.1");
    server.OnLogLine = [&](const std::string& l) { log.push_back(l); };
    server.Listen();
    int port = server.LocalPort();
    ASSERT_GT(port, 0);
    TBufTCPClientSocket client;
    client.Connect("127.0.0.1", std::to_string(port));
    server.Timeout = 2000;
    server.WaitForConnect();
    auto accepted = server.AcceptConnection();
    EXPECT_EQ(server.PeerAddress, "127.0.0.1");
    EXPECT_EQ(log.front(), "Putting socket on port 0 in listen state");
    EXPECT_EQ(log[1], "Accepting connection...");
    accepted->WriteLn("from server");
    EXPECT_EQ(ReadLine(client), "from server");
    client.WriteLn("from client");
    EXPECT_EQ(ReadLine(*accepted), "from client");
}

} // namespace
} // namespace brix
