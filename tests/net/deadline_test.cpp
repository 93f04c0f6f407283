// Every wait of a connection as a whole: a name look-up that hangs, addresses
// that never answer (tried staggered, all within one time-out), a
// multi-line answer that trickles; the abort heard throughout. And hosts
// written as IPv6 literals.

#include "net/abs_socket.h"
#include "net/buf_tcp_client_socket.h"
#include "net/socket_api.h"
#include "net/tcp_client_socket.h"
#include "testing/real_servers.h"
#include "testing/script_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace brix {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A port on 127.0.0.1 that never answers a connect, as a host that has gone
// away: its listener's queue is full and never taken from, so the kernel
// drops every further SYN and the connect stays in progress.
class Blackhole {
  public:
    Blackhole() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 0) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("Blackhole: cannot listen");
        port_ = ntohs(a.sin_port);
        // Connections that complete fill the queue; the first that does not
        // shows it is full.
        for (bool full = false; !full && fillers_.size() < 16;) {
            int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            pollfd p{c, POLLOUT, 0};
            full = ::poll(&p, 1, 100) == 0;
            fillers_.push_back(c);
        }
    }
    ~Blackhole() {
        for (int c : fillers_)
            ::close(c);
        ::close(listener_);
    }
    Blackhole(const Blackhole&) = delete;
    Blackhole& operator=(const Blackhole&) = delete;
    int Port() const { return port_; }

  private:
    int listener_ = -1, port_ = 0;
    std::vector<int> fillers_;
};

SocketAddress Loopback(int port, int family = AF_INET) {
    SocketAddress a;
    const std::uint16_t net = htons(static_cast<std::uint16_t>(port));
    if (family == AF_INET) {
        DottedAddress("127.0.0.1", net, a);
    } else {
        auto* six = reinterpret_cast<sockaddr_in6*>(&a.addr);
        six->sin6_family = AF_INET6;
        six->sin6_addr = in6addr_loopback;
        six->sin6_port = net;
        a.len = sizeof(sockaddr_in6);
        a.family = AF_INET6;
    }
    return a;
}

// The resolver of these tests, for as long as one lives.
struct Resolving {
    explicit Resolving(HostResolver r) { SetHostResolver(std::move(r)); }
    ~Resolving() { SetHostResolver(nullptr); }
    Resolving(const Resolving&) = delete;
    Resolving& operator=(const Resolving&) = delete;
};

// A name with these loopback ports as its addresses.
HostResolver Ports(std::vector<int> ports) {
    return [ports](const std::string&, std::uint16_t, std::vector<SocketAddress>& out) {
        for (int port : ports)
            out.push_back(Loopback(port));
        return 0;
    };
}

// A resolver that answers nothing for 30 seconds, or until the test ends:
// its look-up threads must not outlive the test by much.
class HangingResolver {
  public:
    HangingResolver()
        : gate_(std::make_shared<Gate>()),
          resolving_(
              [gate = gate_](const std::string&, std::uint16_t, std::vector<SocketAddress>&) {
                  std::unique_lock lock(gate->m);
                  ++gate->inside;
                  gate->cv.wait_for(lock, std::chrono::seconds(30), [&] { return gate->open; });
                  --gate->inside;
                  gate->cv.notify_all();
                  return EAI_AGAIN;
              }) {}
    ~HangingResolver() {
        std::unique_lock lock(gate_->m);
        gate_->open = true;
        gate_->cv.notify_all();
        gate_->cv.wait(lock, [&] { return gate_->inside == 0; });
        lock.unlock();
        // The threads count themselves out just after the resolver returns.
        std::this_thread::sleep_for(milliseconds(20));
    }

  private:
    struct Gate {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        int inside = 0;
    };
    std::shared_ptr<Gate> gate_;
    Resolving resolving_;
};

// The abort check of these tests: raises once its time has come, as the
// program's does when the user presses ESC.
Clock::time_point abortDue;
void AbortWhenDue() {
    if (Clock::now() >= abortDue) throw std::runtime_error("aborted by the test");
}
struct AbortAfter {
    explicit AbortAfter(milliseconds ms) {
        abortDue = Clock::now() + ms;
        SetSocketAbortCheck(&AbortWhenDue);
    }
    ~AbortAfter() { SetSocketAbortCheck(nullptr); }
    AbortAfter(const AbortAfter&) = delete;
    AbortAfter& operator=(const AbortAfter&) = delete;
};

std::string FirstLine(TTCPClientSocket& s) {
    std::string line;
    s.ReadLn(line);
    return line;
}

// ------------------------------------------------------------ resolution

TEST(Resolution, AHangingResolverEndsWithTheTimeOutAndAbandonedLookUpsAreBounded) {
    HangingResolver hanging;
    TBufTCPClientSocket s;
    s.Timeout = 500;
    auto start = Clock::now();
    ASSERT_EQ(RaisedMessage<ETCPClientSocket>([&] { s.Connect("hangs.example", "110"); }),
              "Connect: Host name hangs.example not resolved within the time-out. (Error=110)");
    EXPECT_GE(Since(start), milliseconds(450));
    EXPECT_LT(Since(start), milliseconds(1500));
    // Each look-up given up leaves its thread waiting for the resolver; past
    // the bound the next one fails at once instead of adding another.
    s.Timeout = 100;
    std::string message;
    int timedOut = 1;
    for (; timedOut <= kMaxLookupThreads; ++timedOut) {
        start = Clock::now();
        message = RaisedMessage<ETCPClientSocket>([&] { s.Connect("hangs.example", "110"); });
        if (!message.ends_with("(Error=110)")) break;
    }
    EXPECT_EQ(message, "Connect: Host name hangs.example unknown.. (Error=" +
                           std::to_string(EAI_AGAIN) + ")");
    EXPECT_LT(Since(start), milliseconds(50));
    EXPECT_LE(timedOut, kMaxLookupThreads);
}

TEST(Resolution, TheAbortEndsAWaitForTheResolverOrForSilentAddresses) {
    Blackhole silent;
    for (bool resolving : {true, false}) {
        SCOPED_TRACE(resolving ? "resolving" : "connecting");
        std::optional<HangingResolver> hanging;
        std::optional<Resolving> addresses;
        if (resolving)
            hanging.emplace();
        else
            addresses.emplace(Ports({silent.Port()}));
        TBufTCPClientSocket s;
        s.Timeout = 30'000;
        AbortAfter abort(milliseconds(300));
        auto start = Clock::now();
        EXPECT_THROW(s.Connect("slow.example", "110"), std::runtime_error);
        EXPECT_LT(Since(start), milliseconds(1000));
    }
}

// ------------------------------------------------------------ connecting

TEST(Connecting, TheNextAddressStartsAfterTheStaggerAndAllShareOneTimeOut) {
    Blackhole first, second;
    {
        ScriptServer server(Script().Send("the second address"));
        Resolving addresses(Ports({first.Port(), server.Port()}));
        TBufTCPClientSocket s;
        s.Timeout = 5000;
        auto start = Clock::now();
        s.Connect("two.example", "110");
        const milliseconds took = Since(start);
        EXPECT_EQ(FirstLine(s), "the second address");
        EXPECT_GE(took, milliseconds(kConnectStaggerMs - 10));
        EXPECT_LT(took, milliseconds(kConnectStaggerMs + 600));
        s.Disconnect();
    }
    // Nobody answers: one time-out for them all, not one each.
    Resolving addresses(Ports({first.Port(), second.Port()}));
    TBufTCPClientSocket s;
    s.Timeout = 1000;
    auto start = Clock::now();
    EXPECT_EQ(RaisedMessage<ETCPSocket>([&] { s.Connect("two.example", "110"); }),
              "Connect: Cannot connect to two.example:110. (Error=110)");
    EXPECT_GE(Since(start), milliseconds(950));
    EXPECT_LT(Since(start), milliseconds(1700));
}

TEST(Connecting, FamiliesTakeTurnsStartingWithTheFirstAddress) {
    std::vector<SocketAddress> in = {Loopback(1, AF_INET6), Loopback(2, AF_INET6),
                                     Loopback(3, AF_INET6), Loopback(4), Loopback(5)};
    std::string order;
    for (const SocketAddress& a : InterleaveFamilies(in)) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&a.addr);
        const auto* four = reinterpret_cast<const sockaddr_in*>(&a.addr);
        order += std::to_string(ntohs(a.family == AF_INET6 ? six->sin6_port : four->sin_port));
    }
    EXPECT_EQ(order, "14253");
}

// ------------------------------------------------------------ IPv6 literals

TEST(Ipv6Literal, HostWordsAndHowTheyAreShown) {
    struct Row {
        const char* host;
        int family; // 0: a name, to be resolved
        const char* bare;
        const char* shown;
    };
    const Row rows[] = {
        {"127.0.0.1", AF_INET, "127.0.0.1", "127.0.0.1:110"},
        {"::1", AF_INET6, "::1", "[::1]:110"},
        {"[::1]", AF_INET6, "::1", "[::1]:110"},
        {"[2001:db8::1]", AF_INET6, "2001:db8::1", "[2001:db8::1]:110"},
        {"fe80::1%lo", AF_INET6, "fe80::1%lo", "[fe80::1%lo]:110"},
        {"pop.example.org", 0, "pop.example.org", "pop.example.org:110"},
        {"[127.0.0.1]", 0, "127.0.0.1", "[127.0.0.1]:110"}, // URLs bracket IPv6 only
        {"[::1", 0, "[::1", "[::1:110"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.host);
        SocketAddress a;
        EXPECT_EQ(NumericAddress(r.host, htons(110), a) ? a.family : 0, r.family);
        if (r.family == AF_INET6) {
            EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in6*>(&a.addr)->sin6_port), 110);
        }
        EXPECT_EQ(BareHost(r.host), r.bare);
        EXPECT_EQ(HostPortText(r.host, "110"), r.shown);
    }
}

TEST(Ipv6Literal, ConnectsToTheLoopbackAndTlsChecksTheAddressNotTheBrackets) {
    if (FreeLoopbackPort6() == 0) GTEST_SKIP() << "no IPv6 loopback on this machine";
    TestPki pki;
    const TestPki::Pair cert = pki.Issue("::1");
    for (const char* host : {"[::1]", "::1"}) {
        SCOPED_TRACE(host);
        ScriptServer server(Script().Send("plain first").StartTls(cert.cert, cert.key).Send("+OK"),
                            std::chrono::seconds(5), ScriptServer::On::V6);
        TBufTCPClientSocket s;
        s.Connect(host, server.PortText());
        EXPECT_EQ(s.HostName, "::1");
        EXPECT_TRUE(s.PeerIsLoopback());
        EXPECT_EQ(FirstLine(s), "plain first");
        s.StartTls(pki.CaFile());
        EXPECT_EQ(FirstLine(s), "+OK");
        s.Disconnect();
    }
    const std::string port = std::to_string(FreeLoopbackPort6());
    TBufTCPClientSocket s;
    EXPECT_EQ(RaisedMessage<ETCPSocket>([&] { s.Connect("[::1]", port); }),
              "Connect: Cannot connect to [::1]:" + port +
                  ". (Error=" + std::to_string(ECONNREFUSED) + ")");
}

// ------------------------------------------------------------ answer pace

// Reads a multi-line answer as the protocol engine does: its first line,
// then the rest under the pace scope. Returns the body's byte count.
std::size_t ReadAnswer(TTCPClientSocket& s) {
    std::string line;
    s.ReadLn(line);
    TAnswerPaceScope pace(s);
    std::size_t bytes = 0;
    for (;;) {
        s.ReadLn(line);
        if (line == "." || !s.LastLineEnded()) break;
        bytes += line.size() + 2;
    }
    return bytes;
}

std::string Lines(std::size_t bytes, std::size_t lineLength) {
    std::string all;
    while (all.size() < bytes)
        all += std::string(lineLength, 'a') + "\r\n";
    return all;
}

struct Pace {
    const char* name;
    std::function<void(Script&)> body; // after the "+OK" line, without the "."
    std::string error;                 // "": the whole body is read
    std::size_t bytes = 0;             // the body's bytes, when it is read
    bool buffered = true;              // TBufTCPClientSocket, else the plain one
};

void Dripping(Script& s) {
    for (int i = 0; i < 10; ++i)
        s.Pause(700).Send("a line");
}

const std::vector<Pace> kPace = {
    // Each line comes well within the time-out, but the answer crawls.
    {"ShortLinesDripping", Dripping, "Read. (Error=110)"},
    {"ShortLinesDrippingUnbuffered", Dripping, "ReadLn. (Error=110)", 0, false},
    // What the answer has brought does not lift the time-out of one line.
    {"ALineDribblingAfterABurst",
     [](Script& s) {
         s.SendRaw(Lines(64 << 10, 78));
         for (int i = 0; i < 10; ++i)
             s.SendRaw("x").Pause(300);
     },
     "Read. (Error=110)"},
    {"AMebibyteAtFullSpeed", [](Script& s) { s.SendRaw(Lines(1 << 20, 998)); }, "",
     Lines(1 << 20, 998).size()},
    // Slower than a line per time-out would allow at first, but above the
    // pace.
    {"ASteadyTrickleAboveThePace",
     [](Script& s) {
         for (int i = 0; i < 5; ++i)
             s.Pause(600).SendRaw(Lines(2048, 1022));
     },
     "", 5 * 2048},
};

void PrintTo(const Pace& p, std::ostream* os) {
    *os << p.name;
}

class AnswerPace : public ::testing::TestWithParam<Pace> {};

TEST_P(AnswerPace, TheAnswerAsAWholeMustKeepArrivingOrEnd) {
    const Pace& p = GetParam();
    Script script = Script().Send("+OK");
    p.body(script);
    ScriptServer server(script.Send("."), std::chrono::seconds(10));
    std::unique_ptr<TTCPClientSocket> s(p.buffered ? new TBufTCPClientSocket
                                                   : new TTCPClientSocket);
    s->Timeout = 1000;
    s->Connect("127.0.0.1", server.PortText());
    auto start = Clock::now();
    if (p.error.empty()) {
        EXPECT_EQ(ReadAnswer(*s), p.bytes);
        EXPECT_TRUE(s->LastLineEnded());
    } else {
        EXPECT_EQ(RaisedMessage<ETCPClientSocket>([&] { ReadAnswer(*s); }), p.error);
        EXPECT_LT(Since(start), milliseconds(2500));
    }
    s->Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Bodies, AnswerPace, ::testing::ValuesIn(kPace),
                         [](const ::testing::TestParamInfo<Pace>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace brix
