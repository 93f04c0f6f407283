// The protocol clients against the scripted server, where the jobs'
// dialogues do not reach: reply and body reading, the pipeline's window and
// what may go ahead, each STARTTLS with a forged reply sent ahead of the
// handshake, a composed message, and the mailbox names IMAP is given.

#include "clients/abs_client.h"
#include "clients/imap_names.h"
#include "clients/lookahead.h"
#include "clients/nntp_client.h"
#include "clients/pop3_client.h"
#include "clients/smtp_client.h"
#include "clients/smtp_message.h"
#include "delay_relay.h"
#include "support/dot_stuffing.h"
#include "support/text.h"
#include "testing/real_servers.h"
#include "testing/run_program.h"
#include "testing/script_server.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>
#include <sstream>

namespace brix {
namespace {

using namespace testing;

// A client of any class connected to the scripted server, with its log
// lines collected.
template <class Client> struct Logged : Client {
    Logged() {
        this->OnLogLine = [this](const std::string& line) { log.push_back(line); };
        this->Socket->Timeout = 3000;
    }
    // Connects to the scripted server on 127.0.0.1.
    void Open(ScriptServer& server) {
        this->Service = server.PortText();
        this->Connect("127.0.0.1");
    }
    std::vector<std::string> log;
};

TEST(AbsClient, RepliesWithContinuationLinesAndBodiesAreReadWhole) {
    EXPECT_EQ(Stuffed(".a"), "..a");
    EXPECT_EQ(Stuffed("a."), "a.");
    for (auto [sent, read] : {std::pair{"..a", ".a"}, {".", "."}, {"a", "a"}}) {
        std::string line = sent;
        Unstuff(line);
        EXPECT_EQ(line, read);
    }
    EXPECT_EQ(ReplyCodeOf("221-bye"), 221);
    for (const char* line : {"+OK 2 320", "25", "2a0 x", "2501 x", "250x"})
        EXPECT_EQ(ReplyCodeOf(line), 0) << line;
    // Reply lines are short texts; continuation lines and body lines stay whole.
    std::string longReply = "250 " + std::string(400, 'r'), longItem = "X-" + std::string(300, 'x');
    std::string l100k(100000, 'b');
    Script script = Script().SendRaw("220 welcome\n").Expect("EHLO me");
    // The reply comes in one byte at a time.
    for (char c : "250-first line\r\n250-" + longItem + "\r\n250 AUTH LOGIN\r\n")
        script.SendRaw(std::string(1, c)).Pause(1);
    script.Expect("GO").Send(longReply).SendLines({"..a", "x", l100k, ".", "after"});
    ScriptServer server(script);
    Logged<TSMTPClient> client;
    client.Open(server);
    EXPECT_EQ(client.ReplyCode, 220);
    TStrings lines;
    client.SendCommandLines("EHLO me", &lines);
    EXPECT_EQ(client.LastReply, "250 AUTH LOGIN");
    EXPECT_EQ(lines, (TStrings{longItem, "AUTH LOGIN"}));
    client.SendCommand("GO");
    EXPECT_EQ(client.LastReply, longReply.substr(0, 255));
    EXPECT_EQ(client.log,
              (std::vector<std::string>{">220 welcome", "<EHLO me", ">250-first line",
                                        (">250-" + longItem).substr(0, 255), ">250 AUTH LOGIN",
                                        "<GO", (">" + longReply).substr(0, 255)}));
    lines.clear();
    client.ReadDataLines(&lines);
    EXPECT_EQ(lines, (TStrings{".a", "x", l100k}));
    std::string next;
    client.Socket->ReadLn(next);
    EXPECT_EQ(next, "after");
}

// A reply line is whole only with its line end: the greeting cut off by the
// end of the stream is a lost connection, and neither that connection nor
// one that never opened gets a goodbye.
TEST(AbsClient, AReplyCutOffByTheEndIsALostConnectionAndGetsNoGoodbye) {
    ScriptServer server(Script().SendRaw("200 news").Close());
    Logged<TNNTPClient> client, never;
    EXPECT_EQ(RaisedMessage<EBufTCPClientSocket>([&] { client.Open(server); }),
              "ReadLn: connection closed by the server. (Error=104)");
    client.Disconnect();
    never.Disconnect();
    EXPECT_TRUE(client.log.empty() && never.log.empty()) << client.log.size();
}

// A command whose answer changes the session goes ahead only with its
// judge: sent without one, a job that changed its mind would have its answer
// dropped unread. The answers a job no longer asks for are read and dropped
// in their turn, the judged ones judged.
TEST(AbsClient, ACommandThatChangesTheSessionGoesAheadOnlyWithItsJudge) {
    ScriptServer server(Script()
                            .Send("+OK ready")
                            .Expect("RETR 1")
                            .SendData("+OK", {"dropped"})
                            .Expect("DELE 1")
                            .Send("+OK marked"));
    Logged<TPOP3Client> client;
    client.Open(server);
    // Without pipelining one command at a time.
    EXPECT_TRUE(client.SendAhead("RETR 1"));
    EXPECT_FALSE(client.SendAhead("RETR 2"));
    client.SetPipeline();
    EXPECT_FALSE(client.SendAhead("DELE 1"));
    std::string judged;
    EXPECT_TRUE(client.SendAhead("DELE 1", 0, [&] {
        client.GetResponse(nullptr);
        judged = client.LastReply;
    }));
    client.FinishPipeline();
    EXPECT_EQ(judged, "+OK marked");
    EXPECT_EQ(client.InFlight(), 0u);
    client.Socket->Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

// On a link with a round trip of 200 ms the window grows past where it
// starts, as the answers show what the link holds, up to its bound; what
// goes ahead passes it by one answer at most.
TEST(AbsClient, OnASlowLinkTheWindowGrowsAndWhatGoesAheadStaysWithinIt) {
    constexpr std::size_t kAnswers = 800;
    const TStrings lines(200, std::string(78, 'w'));
    std::string answer = "+OK\r\n";
    for (const std::string& line : lines)
        answer += line + "\r\n";
    answer += ".\r\n";
    ScriptServer server(
        Script().Send("+OK ready").Answer([answer](const std::string& line, std::string& reply) {
            reply = line.starts_with("RETR ") ? answer : "+OK\r\n";
            return true;
        }),
        std::chrono::seconds(60));
    relay::DelayRelay relay(server.Port(), std::chrono::milliseconds(100));
    Logged<TPOP3Client> client;
    client.Service = std::to_string(relay.Port());
    client.Connect("127.0.0.1");
    client.SetPipeline();
    const std::size_t start = client.Window();
    std::size_t most = 0;
    {
        TLookahead ahead(client, kAnswers, [&](std::size_t k, std::vector<TPlanned>& commands) {
            commands.push_back({"RETR " + std::to_string(k + 1), answer.size()});
            return true;
        });
        TStrings got;
        for (std::size_t k = 0; k < kAnswers; ++k) {
            ahead.Fill(k);
            most = std::max(most, client.BytesInFlight());
            ASSERT_LT(client.BytesInFlight(), client.Window() + answer.size() + 16) << k;
            got.clear();
            client.Retr(static_cast<std::int32_t>(k + 1), &got);
            ASSERT_EQ(got, lines) << k;
            // The first round came in at loopback's pace, far above what one
            // round a trip would show: the window does not merely double.
            if (k + 1 == 2 * (start / answer.size() + 1)) {
                EXPECT_GE(client.Window(), 8 * start) << k;
            }
        }
    }
    client.Socket->Disconnect();
    EXPECT_GE(most, 4 * start) << client.Window();
    EXPECT_LE(client.Window(), TAbsClient::kMaxWindow);
}

// Connects a Client by STARTTLS to a server playing `script` and sends NOOP
// over TLS; its reply must be `answer`.
template <class Client>
void NoopOverTls(const TestPki& pki, const Script& script, const std::string& answer) {
    ScriptServer server(script);
    Client client;
    client.Socket->Timeout = 3000;
    client.Service = server.PortText();
    client.TlsMode = TTlsMode::StartTls;
    client.TlsCAFile = pki.CaFile();
    client.Connect("localhost");
    client.SendCommand("NOOP");
    EXPECT_EQ(client.LastReply, answer);
    client.Socket->Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
}

TEST(TlsClient, EachStartTlsDropsWhatCameBeforeTheHandshake) {
    TestPki pki;
    const auto& [cert, key] = pki.Localhost();
    // The go-ahead with a forged reply right behind it in the same segment:
    // taken as the next reply, it would answer the first command over TLS.
    auto upgrade = [&](Script s, const char* command, const char* goAheadAndForged) {
        return s.Expect(command).SendRaw(goAheadAndForged).StartTls(cert, key);
    };
    Script pop = upgrade(Script().Send("+OK ready"), "STLS", "+OK begin\r\n+OK forged\r\n");
    NoopOverTls<TPOP3Client>(pki, pop.Expect("NOOP").Send("+OK over tls"), "+OK over tls");
    Script smtp =
        Script().Send("220 mx").ExpectPrefix("EHLO ").SendLines({"250-mx", "250 STARTTLS"});
    smtp = upgrade(smtp, "STARTTLS", "220 go ahead\r\n250 forged\r\n").ExpectPrefix("EHLO ");
    NoopOverTls<TSMTPClient>(pki, smtp.Send("250 mx").Expect("NOOP").Send("250 ok"), "250 ok");
    Script nntp = upgrade(Script().Send("200 news"), "STARTTLS", "382 go ahead\r\n223 forged\r\n");
    NoopOverTls<TNNTPClient>(pki, nntp.Expect("NOOP").Send("223 over tls"), "223 over tls");
}

// ----------------------------------------------------------------------
// Composed messages: one with two attachments, in each of the three
// encodings, sent to the scripted server and read back by Python's
// independent decoders and MIME parser.

// Runs the checker under the python3 found on PATH.
testing::ProgramResult Python(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"python3", BRIX_SOURCE_DIR "/tests/clients/mime_check.py"};
    all.insert(all.end(), args.begin(), args.end());
    return testing::RunProgram("/usr/bin/env", all);
}

// The message part of a DATA transaction, dot-stuffing undone.
std::string DataBody(const std::string& received) {
    std::size_t start = received.find("DATA\r\n") + 6;
    std::istringstream in(received.substr(start, received.rfind("\r\n.\r\n") + 2 - start));
    std::string text;
    for (std::string line; std::getline(in, line);)
        text += (line[0] == '.' ? line.substr(1) : line) + "\n";
    return text;
}

// Mailbox names in modified UTF-7 (RFC 3501 section 5.1.3, its examples
// among them): runs of characters beyond printable ASCII in Base64 of their
// UTF-16, a character beyond U+FFFF as its surrogate pair.
TEST(ImapNames, MailboxNamesInModifiedUtf7AndQuoted) {
    for (auto [utf8, name] : {
             std::pair{"INBOX", "INBOX"},
             {"Entwürfe", "Entw&APw-rfe"},
             {"&", "&-"},
             {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
             {"📬 Post", "&2D3c7A- Post"},
             {"Ünterordner/Grüße & Küsse", "&ANw-nterordner/Gr&APwA3w-e &- K&APw-sse"},
             {"日本語&Grüße", "&ZeVnLIqe-&-Gr&APwA3w-e"},
             {"a\tb", "a&AAk-b"},
             {"", ""},
         })
        EXPECT_EQ(ImapMailboxName(utf8), name) << utf8;
    EXPECT_EQ(ImapQuoted("Sent \"old\" a\\b"), "\"Sent \\\"old\\\" a\\\\b\"");
    EXPECT_EQ(ImapQuoted(""), "\"\"");
    for (const char* bad : {"\xfc", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"})
        EXPECT_FALSE(IsUtf8(bad)) << bad;
    EXPECT_TRUE(IsUtf8("Entwürfe 📬"));
}

TEST(SmtpMessage, TwoAttachmentsReadBackByAMimeParser) {
    TempTree tree;
    std::string notes = "Zeile 1\nZeile 2 äöü\n", notesName = "Übersicht März mit langem Namen.TXT";
    std::string data; // 59 bytes: the last uuencoded line starts with "."
    for (int i = 0; i < 59; ++i)
        data += static_cast<char>(i * 37 + 200);
    tree.Write(notesName, notes);
    tree.Write("data.bin", data);
    TSMTPMessage msg;
    msg.From = "Jörg Wünsch <jo@example.org>";
    msg.To = "Ann <ann@example.org>, \"Bob, Jr.\" <bob@example.org>";
    msg.Bcc = "hidden@example.org";
    msg.Subject = "Grüße aus Köln, mit einem Betreff, der über mehrere Zeilen gefaltet wird";
    msg.Body = {"Hallo,", ".hidden\n.", "Grüße"};
    std::string note; // longer than an SMTP line: folded, and read back whole
    for (int i = 0; i < 150; ++i)
        note += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
    msg.Headers = {"X-Note: " + note + "end"};
    msg.Attachments.Add(tree / notesName);
    msg.Attachments.Add(tree / "data.bin");

    for (const char* mode : {"b64", "uu", "xx"}) {
        msg.Encoder = mode[0] == 'b' ? kEncodeBase64 : mode[0] == 'u' ? kEncodeUU : kEncodeXX;
        Script script = Script().Send("220 mx").Expect("MAIL FROM: <jo@example.org>").Send("250");
        for (const char* to : {"ann", "bob", "hidden"})
            script.Expect("RCPT TO: <" + std::string(to) + "@example.org>")
                .Send(to[0] == 'h' ? "251 ok" : "250 ok");
        ScriptServer server(script.Expect("DATA").Send("354 go").ExpectBody().Send("250 queued"));
        Logged<TSMTPClient> client;
        client.Open(server);
        client.SendMessage(msg);
        client.Socket->Disconnect();
        EXPECT_TRUE(server.Passed()) << server.Report();
        const std::string sent = server.Received();
        EXPECT_NE(sent.find("\r\n..hidden\r\n..\r\n"), std::string::npos) << sent;
        std::string body = DataBody(sent);
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 77u) << line; // with its CR
        EXPECT_EQ(body.find("hidden@"), std::string::npos) << "Bcc written";

        tree.Write("sent.eml", body);
        tree.MakeDir("out");
        bool mime = msg.Encoder == kEncodeBase64;
        EXPECT_EQ(Python({"message", mode, tree / "sent.eml", tree / "out"}).output,
                  "from: " + msg.From + "\nto: " + msg.To + "\nsubject: " + msg.Subject +
                      "\nx-note: " + note + "end" +
                      "\ntext: Hallo,\ntext: .hidden\ntext: .\ntext: Grüße\nfile: " + notesName +
                      (mime ? " text/plain\nfile: data.bin application/octet-stream\n"
                            : " -\nfile: data.bin -\n"))
            << body;
        EXPECT_EQ(tree.Read("out/0"), notes) << mode;
        EXPECT_EQ(tree.Read("out/1"), data) << mode;
    }
}

} // namespace
} // namespace brix
