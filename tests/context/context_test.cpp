// The run context below the whole runs: box files, the logs and the keys
// that abort a job.

#include "context/abort.h"
#include "context/config.h"
#include "context/log.h"
#include "context/server.h"
#include "support/errors.h"
#include "testing/job_test.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

tbrixconfig Read(const std::string& text) {
    tbrixconfig c;
    c.ReadText(text);
    return c;
}

TEST(BoxConfig, KeysValuesDefaultsAndErrors) {
    EXPECT_EQ(Read("").NNTPNEWMAX, 2500);
    for (const char* eol : {"\r\n", "\n"}) {
        std::string e = eol;
        tbrixconfig c = Read("pop3server = Mail.Example \t" + e + "\tPOP3User=Hans Otto" + e +
                             "NNTPSERVER=news=x" + e + "# POP3PASS=secret" + e + "OTHER=1" + e +
                             "CLIENT-MAILINSERVER=a" + e + "CLIENT-NEWSMAX=7" + e +
                             "POP3PASS=" + std::string(300, 'v') + e);
        EXPECT_EQ(c.POP3SERVER, "a"); // the later line wins
        EXPECT_EQ(c.POP3USER, "Hans Otto");
        EXPECT_EQ(c.NNTPSERVER, "news=x");
        EXPECT_EQ(c.NNTPNEWMAX, 7);
        EXPECT_EQ(c.POP3PASS.size(), 255u - 9u); // lines are cut at 255
    }
    for (const char* text : {"   \r\n", "POP3SERVER\r\n"})
        EXPECT_THROW(Read(text), ebrixconfigerror) << text;
    EXPECT_THROW(Read("NNTPNEWMAX=abc\n"), EConvertError);
    EXPECT_EQ(TimeoutSeconds("abc"), 60);
    for (const char* yes : {"ENABLED", "j", "Ja", "y", "yes", "1", "True", "ON", " ja"})
        EXPECT_EQ(ParseYesNo(yes), YesNo::Yes) << yes;
    for (const char* no : {"nein", "N", "no", "0", "false", "Off", "", "DISABLED"})
        EXPECT_EQ(ParseYesNo(no), YesNo::No) << no;
    for (const char* other : {"maybe", "2", "jaa", "enable"})
        EXPECT_EQ(ParseYesNo(other), YesNo::Unknown) << other;
    // A word outside a key's set is that key's error, with the nearest
    // valid word; a secret cut by the box line is an error of its key.
    {
        const tbrixconfig c = Read("POP3KEEP=J tru\nPOP3AUTH=SCRAM-SHA256\nNNTPLIST=maybe\n"
                                   "SMTPTLS=starttl\nSMTPPASS=" +
                                   std::string(300, 'x') + "\n");
        EXPECT_EQ(c.KeyError({"POP3KEEP"}), "POP3KEEP: unknown word tru (did you mean TRUE?)");
        EXPECT_EQ(c.KeyError({"POP3AUTH"}),
                  "POP3AUTH: unknown word SCRAM-SHA256 (did you mean SCRAM-SHA-256?)");
        EXPECT_EQ(c.KeyError({"NNTPLIST"}).substr(0, 30), "NNTPLIST: unknown word maybe (");
        EXPECT_EQ(c.KeyError({"SMTPTLS"}),
                  "SMTPTLS: unknown word starttl (did you mean STARTTLS?)");
        EXPECT_TRUE(c.KeyError({"SMTPPASS"}).starts_with("SMTPPASS is longer than a box line"));
        EXPECT_NE(c.KeyError({"SMTPPASS"}).find("SMTPPASSCMD"), std::string::npos);
        EXPECT_EQ(c.KeyError({"NNTPCOMPRESS", "POP3TLS"}), "");
        EXPECT_THROW(Pop3MethodOf(c, 1), ebrix_joberror);
    }
    // IMAPAUTH: the LOGIN command (no word, a no word, LOGIN) or a SASL
    // mechanism; a yes word says neither.
    {
        const tbrixconfig c = Read("IMAPAUTH=n login scram-sha-256 plian\nIMAPKEEP=J maybe\n"
                                   "IMAPTLS=tls ssl\nIMAPPASS=" +
                                   std::string(300, 'x') + "\n");
        EXPECT_EQ(ImapMethodOf(c, 1) + "|" + ImapMethodOf(c, 2) + "|" + ImapMethodOf(c, 3),
                  "||SCRAM-SHA-256");
        EXPECT_THROW(ImapMethodOf(c, 4), ebrix_joberror);
        EXPECT_EQ(c.KeyError({"IMAPAUTH"}), "IMAPAUTH: unknown word plian (did you mean PLAIN?)");
        EXPECT_EQ(c.KeyError({"IMAPKEEP"}).substr(0, 30), "IMAPKEEP: unknown word maybe (");
        EXPECT_EQ(c.KeyError({"IMAPTLS"}), "IMAPTLS: unknown word ssl (did you mean TLS?)");
        EXPECT_TRUE(c.KeyError({"IMAPPASS"}).starts_with("IMAPPASS is longer than a box line"));
        EXPECT_EQ(ImapMethodOf(Read(""), 1), "");
        EXPECT_THROW(ImapMethodOf(Read("IMAPAUTH=J\n"), 1), ebrix_joberror);
    }
    EXPECT_FALSE(
        Read("SMTPAFTERPOP=yes\nCLIENT-MAILOUTSMTPAFTERPOP=J\nSMTPAFTERPOP=N\n").SMTPAFTERPOP);
}

// Unknown keys: reported with the nearest known key when one is near; the
// host reader's own CLIENT- keys only when they look like a typo of ours.
TEST(BoxConfig, UnknownKeysAndDefaultPorts) {
    tbrixconfig c;
    c.ReadText("POP3SERVR=a\n#x\nsmtppas=b\nFAVOURITECOLOUR=red\nCLIENT-WINDOWSIZE=3\n"
               "CLIENT-MAILINSERVR=c\n",
               "BOX.bfg");
    EXPECT_EQ(c.Warnings, (std::vector<std::string>{
                              "BOX.bfg line 1: unknown key POP3SERVR (did you mean POP3SERVER?)",
                              "BOX.bfg line 3: unknown key SMTPPAS (did you mean SMTPPASS?)",
                              "BOX.bfg line 4: unknown key FAVOURITECOLOUR",
                              "BOX.bfg line 6: unknown key CLIENT-MAILINSERVR (did you mean "
                              "CLIENT-MAILINSERVER?)"}));
    EXPECT_TRUE(c.POP3SERVER.empty() && c.SMTPPASS.empty());

    // Per server: its own port word, else the registered port of its mode.
    c = Read("POP3PORT=\nPOP3TLS=TLS none STARTTLS\nSMTPTLS=NONE TLS STARTTLS\nNNTPTLS=TLS\n");
    EXPECT_EQ(Pop3PortOf(c, 1) + Pop3PortOf(c, 2) + Pop3PortOf(c, 3), "995110110");
    EXPECT_EQ(SmtpPortOf(c, 1) + SmtpPortOf(c, 2) + SmtpPortOf(c, 3), "25465587");
    EXPECT_EQ(NntpPortOf(c), "563");
    c = Read("IMAPTLS=TLS STARTTLS none\nIMAPPORT=\n");
    EXPECT_EQ(ImapPortOf(c, 1) + ImapPortOf(c, 2) + ImapPortOf(c, 3), "993143143");
    c = Read("POP3PORT=pop3s 1110\nSMTPPORT=2525\nNNTPPORT=1119\nPOP3TLS=TLS\n");
    EXPECT_EQ(Pop3PortOf(c, 1) + Pop3PortOf(c, 2) + SmtpPortOf(c, 1) + NntpPortOf(c),
              "pop3s111025251119");

    // A port of implicit TLS without a TLS key means TLS; an explicit NONE
    // stays the user's word.
    c = Read("POP3SERVER=a b c\nPOP3PORT=995 pop3s 995\nPOP3TLS=\nSMTPSERVER=s t\n"
             "SMTPPORT=465 587\nNNTPSERVER=n\nNNTPPORT=563\nIMAPSERVER=i j k\n"
             "IMAPPORT=993 imaps 143\n");
    c.POP3TLS = "";
    std::string modes;
    for (TProtocol protocol : {TProtocol::Pop3, TProtocol::Smtp, TProtocol::Nntp, TProtocol::Imap})
        for (const ServerProfile& p : ServerProfiles(c, protocol))
            modes += std::to_string(static_cast<int>(p.tls));
    EXPECT_EQ(modes, "222202220");
    EXPECT_EQ(DescribeProfile(ServerProfiles(c, TProtocol::Nntp).front()),
              "NNTP n port 563, TLS (the port's own), user none, password none, COMPRESS "
              "DEFLATE when offered and the round trip is 10 ms or more");
    c = Read("NNTPSERVER=n\nNNTPCOMPRESS=ja\n");
    EXPECT_EQ(ServerProfiles(c, TProtocol::Nntp).front().login.Compress, TCompress::Always);
    c = Read("NNTPSERVER=n\nNNTPCOMPRESS=N\n");
    EXPECT_EQ(DescribeProfile(ServerProfiles(c, TProtocol::Nntp).front()),
              "NNTP n port 119, no TLS, user none, password none");
    c = Read("POP3SERVER=a\nPOP3PORT=995\nPOP3TLS=NONE\n");
    EXPECT_EQ(ServerProfiles(c, TProtocol::Pop3).front().tls, TTlsMode::None);
    // An IMAP account always logs in, with its own proxy key before PROXY.
    c = Read("IMAPSERVER=i j\nIMAPUSER=ann bob\nIMAPPASSCMD=pass imap\nIMAPAUTH=N xoauth2\n"
             "IMAPTLS=STARTTLS\nIMAPTIMEOUT=5\nPROXY=socks5://p:1080\nIMAPPROXY=http://q:3128\n");
    const std::vector<ServerProfile> imaps = ServerProfiles(c, TProtocol::Imap);
    ASSERT_EQ(imaps.size(), 2u);
    EXPECT_TRUE(imaps[0].login.LogIn && imaps[1].login.LogIn);
    EXPECT_EQ(std::string(imaps[1].secret.key) + imaps[1].secret.server + imaps[1].secret.user +
                  imaps[1].secret.command,
              "IMAPPASSCMDjbobpass imap");
    EXPECT_EQ(imaps[0].timeoutMs, 5000);
    EXPECT_EQ(DescribeProfile(imaps[1]),
              "IMAP j port 143, STARTTLS, user bob, password from `pass imap`, AUTH XOAUTH2, "
              "COMPRESS DEFLATE when offered and the round trip is 10 ms or more, via HTTP proxy "
              "q:3128");
    EXPECT_TRUE(IsProfileKey("IMAPAUTH") && IsProfileKey("IMAPPORT"));
    EXPECT_EQ(ProfileError(Read("IMAPPORT=14x3\n"), TProtocol::Imap),
              "IMAPPORT: 14x3 is no port (a number from 1 to 65535, or a service name such as "
              "pop3)");
}

// IMAPFOLDERS: a word per account, its folders separated by ",", each in
// UTF-8 with %XX escapes; a name that cannot be asked for is the key's
// error, so that the job never starts with it.
TEST(BoxConfig, ImapFoldersAreDecodedOrAreTheKeysError) {
    const std::string how = " (write a folder name in UTF-8, with %20 for a blank, %2C for a "
                            "comma and %25 for a percent sign, and \",\" between two folders: "
                            "INBOX,Sent%20Items)";
    struct Row {
        const char* value;
        int index;
        std::vector<std::string> folders; // empty: the error
        std::string error;
    } rows[] = {
        {"", 1, {"INBOX"}, ""},
        {"inbox,Sent%20Items Archiv", 1, {"INBOX", "Sent Items"}, ""},
        {"inbox,Sent%20Items Archiv", 2, {"Archiv"}, ""},
        {"inbox,Sent%20Items Archiv", 3, {"INBOX", "Sent Items"}, ""}, // word 1 past the end
        {"a%2cb,100%25,Entw%C3%BCrfe,Entwürfe,%e5%8f%b0%E5%8C%97",
         1,
         {"a,b", "100%", "Entwürfe", "Entwürfe", "台北"},
         ""},
        {"INBOX,,Sent", 1, {}, "IMAPFOLDERS: INBOX,,Sent has an empty folder name"},
        {"INBOX,", 1, {}, "IMAPFOLDERS: INBOX, has an empty folder name"},
        {"Sent%2", 1, {}, "IMAPFOLDERS: Sent%2 has a % that is no %XX escape"},
        {"INBOX 50%off", 2, {}, "IMAPFOLDERS: 50%off has a % that is no %XX escape"},
        {"Entw%FCrfe", 1, {}, "IMAPFOLDERS: Entw%FCrfe is no UTF-8"},
        {"Entw\xfcrfe", 1, {}, "IMAPFOLDERS: Entw%FCrfe is no UTF-8"},
        {"%C0%AF", 1, {}, "IMAPFOLDERS: %C0%AF is no UTF-8"}, // overlong "/"
        {"a%09b", 1, {}, "IMAPFOLDERS: a%09b holds a control character"},
        {"a%C2%85b", 1, {}, "IMAPFOLDERS: a%C2%85b holds a control character"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        const tbrixconfig c = Read(std::string("IMAPFOLDERS=") + row.value + "\n");
        if (row.folders.empty()) {
            EXPECT_EQ(c.KeyError({"IMAPFOLDERS"}), row.error + how);
            try {
                ImapFoldersOf(c, row.index);
                ADD_FAILURE() << "no error";
            } catch (const ebrix_joberror& e) {
                EXPECT_EQ(e.Message(), row.error + how);
            }
        } else {
            EXPECT_EQ(ImapFoldersOf(c, row.index), row.folders);
        }
    }
}

class LogTest : public testing::MailJobTest {};

TEST_F(LogTest, RunLogAndBoxLogLines) {
    WriteLog("not in the run log", 2);
    EXPECT_FALSE(tree.Exists("BOX1.log")); // no debug level, no box log
    Settings().DebugLevel = 1;
    tree.Write("box1.log", "old\r\n"); // found under another case
    clock.now = {2001, 3, 5, 9, 7, 3};
    WriteLog("a", 2);
    WriteLog("b", 3);
    WriteLog("b", 3);
    WriteLog(std::string(250, 'm'), 1);
    LogProtocolLine("<USER hans");
    EXPECT_EQ(tree.Read("qv-ppp.log"), "05.03.2001 09:07:03 b\r\n05.03.2001 09:07:03 b\r\n"
                                       "05.03.2001 09:07:03 " +
                                           std::string(235, 'm') + "\r\n");
    EXPECT_EQ(tree.Read("box1.log"), "old\r\na\r\nb\r\nb\r\n<USER hans\r\n");
    EXPECT_FALSE(tree.Exists("BOX1.log"));
    // A log that cannot be written never ends a job; once it failed, its
    // later lines are dropped.
    Settings().LogDir = tree.Path() + "missing/";
    EXPECT_NO_THROW(WriteLog("x", 1));
    tree.MakeDir("missing");
    EXPECT_NO_THROW(WriteLog("y", 1));
    EXPECT_FALSE(tree.Exists("missing/qv-ppp.log"));
}

// ----------------------------------------------------------------------
// What the whole runs cannot reach: the keys that abort a job, and the
// SMTP-after-POP pause at the edges of the millisecond clock.

// Only ESC aborts, with a bell; the escape sequences of other keys do not.
TEST(UserAbort, EscAbortsWithABellOtherKeysAreSwallowed) {
    testing::MemoryScreen screen;
    testing::ScriptedKeyboard keys;
    for (const char* typed : {"a", "\x1b[A", "\x1bOP", "\x1b[15~", "\r\x1b[B", "\x1b", "\x1bq"}) {
        keys.Type(typed);
        const bool esc = typed[0] == '\x1b' && (typed[1] == 0 || typed[1] == 'q');
        try {
            CheckUserAbort();
            EXPECT_FALSE(esc) << typed;
            EXPECT_FALSE(keys.KeyPressed()) << typed;
        } catch (const ebrix_break& e) {
            EXPECT_TRUE(esc) << typed;
            EXPECT_EQ(e.Message(), "aborted by user ...");
        }
    }
    EXPECT_EQ(screen.bells, 2);
}

} // namespace
} // namespace brix
