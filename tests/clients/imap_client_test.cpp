// The IMAP client against the scripted server: a whole fetch dialogue with
// what a server may put in the way (untagged responses between and inside
// answers, literals that hold what looks like responses, a body without a
// last line end), the login forms, and the parsers' edge cases.

#include "clients/imap_client.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using namespace testing;

struct LoggedImap : TIMAPClient {
    LoggedImap() {
        OnLogLine = [this](const std::string& line) { log.push_back(line); };
        Socket->Timeout = 3000;
    }
    using TIMAPClient::Open;
    void Open(ScriptServer& server) {
        Service = server.PortText();
        Connect("127.0.0.1");
    }
    std::vector<std::string> log;
};

// A body taker that collects the lines and the UIDs it was told.
struct Collected {
    std::vector<std::string> lines;
    std::vector<std::uint32_t> ends;
    int begins = 0;
    TImapBodyTaker taker{[this] { ++begins; }, [this](std::string& l) { lines.push_back(l); },
                         [this](std::uint32_t uid) { ends.push_back(uid); }};
};

TServerLogin Login(const std::string& user, const std::string& secret,
                   const std::string& method = "") {
    TServerLogin login;
    login.User = user;
    login.Secret = secret;
    login.Method = method;
    login.LogIn = true;
    return login;
}

std::string Literal(const std::string& bytes) {
    return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

TEST(ImapClient, AFetchSessionReadsEveryAnswerWholeWhateverComesBetween) {
    // The body holds lines that look like the end of its answer, a bare LF
    // and no line end after its last line.
    const std::string body = "Subject: x\r\n\r\nA0004 OK not the end\r\n* BYE not one\nlast";
    ScriptServer server(
        Script()
            .Send("* OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN LITERAL+] ready")
            // The password holds a byte beyond ASCII: a literal, sent at once
            // since LITERAL+ is offered.
            .Expect("A0001 LOGIN \"joe\" {5+}")
            .Expect("t\xc3\xa4st")
            .Send("A0001 OK [CAPABILITY IMAP4rev1 UIDPLUS COMPRESS=DEFLATE] in")
            .Expect("A0002 EXAMINE \"INBOX\"")
            .SendLines({"* 3 EXISTS", "* OK [UIDVALIDITY 77] v", "* OK [UIDNEXT 12] n",
                        "* OK [ALERT] maintenance tonight", "A0002 OK [READ-ONLY] done"})
            .Expect("A0003 UID FETCH 1:* (UID RFC822.SIZE)")
            .SendLines({"* 1 FETCH (UID 9 RFC822.SIZE 100)", "* 4 EXISTS",
                        "* 3 FETCH (RFC822.SIZE 7 UID 11)", "* 2 FETCH (FLAGS (\\Seen))",
                        "* 2 FETCH (UID 10 RFC822.SIZE 5)", "* 9 FETCH (UID 9 RFC822.SIZE 100)",
                        "A0003 OK listed"})
            // Two fetches in flight, answered as one stream of FETCH
            // responses before their tagged lines.
            .Expect("F11 UID FETCH 11 BODY.PEEK[]")
            .Expect("F9 UID FETCH 9 BODY.PEEK[]")
            .SendRaw("* 3 FETCH (FLAGS () BODY[] " + Literal(body) + " UID 11)\r\n")
            .Send("* 3 FETCH (FLAGS (\\Recent))")
            .SendRaw("* 1 FETCH (UID 9 BODY[] " + Literal("x\r\n") + ")\r\n")
            .SendLines({"F11 OK fetched", "F9 OK fetched"})
            // Expunged by another client: OK and no body.
            .Expect("F10 UID FETCH 10 BODY.PEEK[]")
            .Send("F10 OK nothing")
            .Expect("A0004 UID STORE 9:11 +FLAGS.SILENT (\\Deleted)")
            .Expect("A0005 UID EXPUNGE 9:11")
            .SendLines({"A0004 OK stored", "* 1 EXPUNGE", "A0005 OK gone"})
            .Expect("A0006 LOGOUT")
            .SendLines({"* BYE bye", "A0006 OK out"}));
    LoggedImap client;
    client.Open(server);
    client.Open(Login("joe", "t\xc3\xa4st"));
    EXPECT_TRUE(client.Offers("UIDPLUS"));
    TImapMailbox box;
    client.Select("INBOX", true, box);
    EXPECT_EQ(box.exists, 3);
    EXPECT_EQ(box.uidValidity, 77u);
    EXPECT_EQ(box.uidNext, 12u);
    EXPECT_TRUE(box.readOnly);
    ASSERT_EQ(client.Alerts.size(), 1u);
    EXPECT_EQ(client.Alerts[0], "maintenance tonight");
    std::vector<TImapMessage> listed;
    client.List(listed);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].uid, 9u);
    EXPECT_EQ(listed[0].size, 100);
    EXPECT_EQ(listed[2].uid, 11u);
    Collected got;
    client.Bodies = &got.taker;
    EXPECT_TRUE(client.SendAhead(TIMAPClient::FetchCommand("11")));
    EXPECT_TRUE(client.SendAhead(TIMAPClient::FetchCommand("9")));
    client.FetchBodies("11");
    EXPECT_EQ(got.lines, (std::vector<std::string>{"Subject: x", "", "A0004 OK not the end",
                                                   "* BYE not one", "last", "x"}));
    EXPECT_EQ(got.ends, (std::vector<std::uint32_t>{11, 9}));
    client.FetchBodies("9");
    client.FetchBodies("10");
    EXPECT_EQ(got.begins, 2);
    std::vector<bool> done;
    client.StoreDeletedLater("9:11", true, [&](bool ok) { done.push_back(ok); });
    client.ExpungeLater("9:11", [&](bool ok) { done.push_back(ok); });
    client.FinishPipeline();
    EXPECT_EQ(done, (std::vector<bool>{true, true}));
    client.Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    // The password never reaches the transcript.
    for (const std::string& line : client.log)
        EXPECT_EQ(line.find("t\xc3\xa4st"), std::string::npos) << line;
}

// Each way an answer can leave the session: the error it raises and
// whether a LOGOUT may still be said.
TEST(ImapClient, AnswersThatBreakTheSessionEndItWithTheServersWords) {
    struct Row {
        const char* name;
        std::string answer; // to the fetch of UID 5
        const char* error;
        bool inStep;
    };
    const std::vector<Row> rows = {
        {"refused", "F5 NO [UNAVAILABLE] try later\r\n", "Fetch", true},
        {"another tag", "A0099 OK what\r\n", "Response: tag F5 due", false},
        {"no status", "F5 MAYBE\r\n", "Response: tag F5 due", false},
        {"bye and close", "* BYE shutting down\r\n", "Bye", false},
        {"cut in the literal", "* 1 FETCH (UID 5 BODY[] {100}\r\nabc", "connection closed", false},
        {"cut after the literal", "* 1 FETCH (UID 5 BODY[] {3}\r\nabc", "connection closed", false},
        {"a line without its end", "F5 OK", "connection closed", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptServer server(Script()
                                .Send("* PREAUTH [CAPABILITY IMAP4rev1] hi")
                                .Expect("F5 UID FETCH 5 BODY.PEEK[]")
                                .SendRaw(row.answer)
                                .Close());
        LoggedImap client;
        client.Open(server);
        EXPECT_TRUE(client.Preauth);
        Collected got;
        client.Bodies = &got.taker;
        try {
            client.FetchBodies("5");
            ADD_FAILURE() << "no error";
        } catch (const EsktException& e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
        EXPECT_EQ(!client.OutOfStep, row.inStep);
        // A message cut short is never handed on as whole.
        EXPECT_TRUE(got.ends.empty());
        client.Socket->Disconnect();
    }
}

TEST(ImapClient, LoginsGoAsTheServerTakesThemAndNeverInPlainTextWhenRefused) {
    // SASL with the first message inline (SASL-IR); without SASL-IR it waits
    // for the "+".
    for (bool inline_ : {true, false}) {
        Script script = Script().Send(std::string("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN") +
                                      (inline_ ? " SASL-IR" : "") + "] hi");
        if (inline_) {
            script.Expect("A0001 AUTHENTICATE PLAIN AGpvZQBzZWNyZXQ=");
        } else {
            script.Expect("A0001 AUTHENTICATE PLAIN").Send("+ ").Expect("AGpvZQBzZWNyZXQ=");
        }
        script.Send("A0001 OK in")
            .Expect("A0002 CAPABILITY")
            .SendLines({"* CAPABILITY IMAP4rev1 UIDPLUS", "A0002 OK"});
        ScriptServer server(script);
        LoggedImap client;
        client.Open(server);
        client.Open(Login("joe", "secret", "PLAIN"));
        EXPECT_TRUE(client.Offers("UIDPLUS"));
        client.Socket->Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    // LOGINDISABLED: the password is not sent.
    ScriptServer server(Script().Send("* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hi"));
    LoggedImap client;
    client.Open(server);
    EXPECT_THROW(client.Open(Login("joe", "secret")), EAbsIMAPClient);
    client.Socket->Disconnect();
    EXPECT_EQ(server.Received(), "");
}

// A folder named in UTF-8 goes in modified UTF-7, or as it is once the
// server took UTF8=ACCEPT (which also keeps it from rewriting headers).
TEST(ImapClient, FolderNamesGoInTheFormTheServerTakes) {
    for (bool utf8 : {false, true}) {
        Script script = Script().Send(std::string("* PREAUTH [CAPABILITY IMAP4rev1") +
                                      (utf8 ? " UTF8=ACCEPT" : "") + "] hi");
        if (utf8)
            script.Expect("A0001 ENABLE UTF8=ACCEPT")
                .SendLines({"* ENABLED UTF8=ACCEPT", "A0001 OK enabled"});
        script
            .Expect(utf8 ? "A0002 EXAMINE \"Entw\xc3\xbcrfe \\\"1\\\"\""
                         : "A0001 EXAMINE \"Entw&APw-rfe \\\"1\\\"\"")
            .Send(utf8 ? "A0002 OK" : "A0001 OK");
        ScriptServer server(script);
        LoggedImap client;
        client.Open(server);
        client.Open(Login("joe", "secret"));
        TImapMailbox box;
        client.Select("Entw\xc3\xbcrfe \"1\"", true, box);
        client.Socket->Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
}

TEST(ImapClient, ParsersTakeWhatTheGrammarAllowsAndNothingElse) {
    std::uint64_t v = 0;
    EXPECT_TRUE(ImapFetchNumber("* 1 FETCH (UID 7 RFC822.SIZE 42)", "RFC822.SIZE", v));
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(ImapFetchNumber("* 1 FETCH (FLAGS (\\Seen) uid 7)", "UID", v));
    EXPECT_EQ(v, 7u);
    for (const char* line : {"* 1 FETCH (X-UID 7)", "* 1 FETCH (UID 4294967296)",
                             "* 1 FETCH (UID 7x)", "* 1 FETCH (X \"UID 7\")", "* 1 FETCH UID 7"})
        EXPECT_FALSE(ImapFetchNumber(line, "UID", v)) << line;
    EXPECT_TRUE(ImapLiteralAtEnd("BODY[] {12}", v));
    EXPECT_EQ(v, 12u);
    EXPECT_TRUE(ImapLiteralAtEnd("x {3+}", v));
    for (const char* line : {"x {}", "x {1a}", "x {99999999999999999999}", "x 12}", "x {5} "})
        EXPECT_FALSE(ImapLiteralAtEnd(line, v)) << line;
    EXPECT_EQ(ImapUidSets({5, 1, 2, 3, 9, 3, 10}, 100), (std::vector<std::string>{"1:3,5,9:10"}));
    EXPECT_EQ(ImapUidSets({1, 3, 5, 7}, 4), (std::vector<std::string>{"1,3", "5,7"}));
    EXPECT_EQ(ImapUidRanges("1:3,5,9:*,x,7:6"),
              (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                  {1, 3}, {5, 5}, {9, 0xffffffffu}, {6, 7}}));
    EXPECT_EQ(ParseImapCapabilities("IMAP4rev1 auth=PLAIN] rest"),
              (std::vector<std::string>{"IMAP4REV1", "AUTH=PLAIN"}));
    EXPECT_EQ(ImapQuotedOrEmpty("a\"b\\"), "\"a\\\"b\\\\\"");
    EXPECT_EQ(ImapQuotedOrEmpty("t\xc3\xa4st"), "");
}

} // namespace
} // namespace brix
