// The scripted server itself: the job tests rely on it to notice a client
// that says the wrong thing, says too much, or never comes.

#include "net/buf_tcp_client_socket.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix::testing {
namespace {

TEST(ScriptServer, ReportsAWrongLineAMissingCrAndExtraBytes) {
    ScriptServer server(Script().Expect("USER joe").Expect("PASS x").ExpectPrefix("APOP "));
    {
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
        s.WriteLn("USER jim");
        s.Write("PASS x\n", 7);
        s.WriteLn("APOP joe 123");
        s.WriteLn("QUIT");
    }
    EXPECT_EQ(server.Failures(),
              (std::vector<std::string>{
                  "connection 0: step 1: expected \"USER joe\", got \"USER jim\"",
                  "connection 0: step 2: line \"PASS x\" not ended by CR LF",
                  "connection 0: after the end of the script the client sent \"QUIT\\r\\n\""}));
}

TEST(ScriptServer, ReportsAClientThatClosesEarlyStaysOrNeverComes) {
    {
        ScriptServer server(Script().Expect("NOOP"));
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
        s.Disconnect();
        ASSERT_EQ(server.Failures().size(), 1u);
        EXPECT_NE(server.Failures()[0].find("expected \"NOOP\", but the client closed"),
                  std::string::npos);
    }
    {
        ScriptServer server(Script().Send("x"), std::chrono::milliseconds(300));
        TBufTCPClientSocket s;
        s.Connect("127.0.0.1", server.PortText());
        EXPECT_EQ(server.Failures(), std::vector<std::string>{
                                         "connection 0: deadline passed before the client closed"});
    }
    ScriptServer server(Script().Send("x"), std::chrono::milliseconds(100));
    EXPECT_EQ(server.Failures(),
              std::vector<std::string>{"connection 0: no connection came before the deadline"});
}

} // namespace
} // namespace brix::testing
