// The scripted server itself: the job tests rely on it to notice a client
// that says the wrong thing, says too much, or never comes.

#include "net/buf_tcp_client_socket.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix::testing {
namespace {

TEST(ScriptServer, RecordsBytesAndPassesAMatchingDialogue) {
    ScriptServer server(Script().Send("hello").Expect("HI there").SendLines({"a", "b"}));
    {
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
        std::string line;
        s.ReadLn(line);
        EXPECT_EQ(line, "hello");
        s.WriteLn("HI there");
        s.ReadLn(line);
        EXPECT_EQ(line, "a");
    }
    EXPECT_TRUE(server.Passed()) << server.Report();
    EXPECT_EQ(server.Received(), "HI there\r\n");
    EXPECT_EQ(server.ReceivedLines(), std::vector<std::string>{"HI there"});
    EXPECT_EQ(server.Connections(), 1u);
}

TEST(ScriptServer, ReportsAWrongLineAMissingCrAndExtraBytes) {
    ScriptServer server(Script().Expect("USER joe").Expect("PASS x").ExpectPrefix("APOP "));
    {
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
        s.WriteLn("USER jim");
        std::string lfOnly = "PASS x\n";
        s.Write(lfOnly.data(), static_cast<std::int32_t>(lfOnly.size()));
        s.WriteLn("APOP joe 123");
        s.WriteLn("QUIT");
    }
    auto failures = server.Failures();
    ASSERT_EQ(failures.size(), 3u) << server.Report();
    EXPECT_EQ(failures[0], "connection 0: step 1: expected \"USER joe\", got \"USER jim\"");
    EXPECT_EQ(failures[1], "connection 0: step 2: line \"PASS x\" not ended by CR LF");
    EXPECT_EQ(failures[2],
              "connection 0: after the end of the script the client sent \"QUIT\\r\\n\"");
}

TEST(ScriptServer, ReportsAClientThatCloses) {
    ScriptServer server(Script().Expect("NOOP"));
    {
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
    }
    ASSERT_EQ(server.Failures().size(), 1u);
    EXPECT_NE(server.Failures()[0].find("expected \"NOOP\", but the client closed"),
              std::string::npos);
}

TEST(ScriptServer, OneScriptPerConnectionAndNoMore) {
    ScriptServer server({Script().Send("first"), Script().Send("second")});
    std::string line;
    TBufTCPClientSocket a, b, c;
    a.Connect("127.0.0.1", server.PortText());
    b.Connect("127.0.0.1", server.PortText());
    b.ReadLn(line);
    EXPECT_EQ(line, "second");
    a.ReadLn(line);
    EXPECT_EQ(line, "first");
    a.Disconnect();
    b.Disconnect();
    EXPECT_EQ(server.Connections(), 2u);
    EXPECT_THROW(c.Connect("127.0.0.1", server.PortText()), ETCPSocket);
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(ScriptServer, DeadlineEndsAConnectionThatNeverCloses) {
    ScriptServer server(Script().Send("x"), std::chrono::milliseconds(300));
    TBufTCPClientSocket s;
    s.Connect("127.0.0.1", server.PortText());
    auto start = std::chrono::steady_clock::now();
    auto failures = server.Failures();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0], "connection 0: deadline passed before the client closed");
}

TEST(ScriptServer, ReportsAConnectionThatNeverCame) {
    ScriptServer server(Script().Send("x"), std::chrono::milliseconds(100));
    EXPECT_EQ(server.Failures(),
              std::vector<std::string>{"connection 0: no connection came before the deadline"});
}

} // namespace
} // namespace brix::testing
