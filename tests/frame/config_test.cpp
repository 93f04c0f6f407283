#include "frame/config.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

tbrixconfig Read(const std::string& text) {
    tbrixconfig c;
    c.ReadText(text);
    return c;
}

TEST(BoxConfig, DefaultsOfAnEmptyFile) {
    tbrixconfig c = Read("");
    EXPECT_EQ(c.POP3AUTH, "N");
    EXPECT_EQ(c.POP3USEENVELOPE, "N");
    EXPECT_EQ(c.POP3KEEP, "J");
    EXPECT_EQ(c.POP3MAXLEN, 1048576);
    EXPECT_EQ(c.NNTPTIMEOUT, 30);
    EXPECT_EQ(c.NNTPMAXLEN, 99999);
    EXPECT_EQ(c.NNTPNEWMAX, 2500);
    EXPECT_EQ(c.NNTPDUPESIZE, 65536);
    EXPECT_EQ(c.NNTPQUEUE, 10);
    EXPECT_FALSE(c.SMTPAFTERPOP);
    EXPECT_EQ(c.SMTPAFTERPOPDELAY, 0);
    EXPECT_TRUE(c.POP3SERVER.empty());
}

TEST(BoxConfig, KeysIgnoreCaseAndBlanksValuesKeepCase) {
    for (const char* eol : {"\r\n", "\n"}) {
        std::string e = eol;
        tbrixconfig c = Read("pop3server = Mail.Example \t" + e + "\tPOP3User=Hans Otto" + e +
                             "NNTPSERVER=news=x" + e + "# POP3PASS=secret" + e + e);
        EXPECT_EQ(c.POP3SERVER, "Mail.Example");
        EXPECT_EQ(c.POP3USER, "Hans Otto");
        EXPECT_EQ(c.NNTPSERVER, "news=x");
        EXPECT_EQ(c.POP3PASS, "");
    }
}

TEST(BoxConfig, LinesWithoutEqualsSignAreErrors) {
    for (const char* text : {"   \r\n", " # comment\r\n", "POP3SERVER\r\n", "\t\n"}) {
        try {
            Read(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ebrixconfigerror& e) {
            EXPECT_EQ(e.Message(), "Fehler in der Config-Datei");
            EXPECT_STREQ(e.ClassName(), "ebrixconfigerror");
        }
    }
}

TEST(BoxConfig, YesWords) {
    for (const char* yes : {"ENABLED", "j", "Ja", "y", "yes", "YES"})
        EXPECT_TRUE(IsYesWord(yes));
    for (const char* no : {"", "nein", "N", "1", "true", " ja"})
        EXPECT_FALSE(IsYesWord(no));
    EXPECT_TRUE(Read("SMTPAFTERPOP=yes\n").SMTPAFTERPOP);
    EXPECT_TRUE(Read("CLIENT-MAILOUTSMTPAFTERPOP=J\n").SMTPAFTERPOP);
    EXPECT_FALSE(
        Read("SMTPAFTERPOP=yes\nCLIENT-MAILOUTSMTPAFTERPOP=J\nSMTPAFTERPOP=N\n").SMTPAFTERPOP);
    EXPECT_TRUE(Read("NNTPLIST=enabled\nNNTPRESCAN=ja\nQVSCOREAKTIV=Y\n").QVSCOREAKTIV);
}

TEST(BoxConfig, ClientKeysFillTheSameFieldsAndTheLaterLineWins) {
    tbrixconfig c = Read("CLIENT-MAILINSERVER=a\nPOP3SERVER=b\nCLIENT-ADDSERVERS=X Y\n"
                         "CLIENT-SPOOL=/s/\nCLIENT-MAILINPORTPORT=110\nCLIENT-NEWSMAX=7\n"
                         "CLIENT-MAILOUTLOGIN=login\nCLIENT-NEWSPASSWORD=pw\n");
    EXPECT_EQ(c.POP3SERVER, "b");
    EXPECT_EQ(c.PPP_BOXPAKETE, "X Y");
    EXPECT_EQ(c.PPP_UUZ_SPOOL, "/s/");
    EXPECT_EQ(c.POP3PORT, "110");
    EXPECT_EQ(c.NNTPNEWMAX, 7);
    EXPECT_EQ(c.SMTPAUTH, "login");
    EXPECT_EQ(c.NNTPPASS, "pw");
}

TEST(BoxConfig, UnknownKeysAreIgnored) {
    tbrixconfig c = Read("OTHERPROGRAM=1\nCLIENT-FOO=2\n=3\nPOP3SERVER=x\n");
    EXPECT_EQ(c.POP3SERVER, "x");
}

TEST(BoxConfig, BadIntegersRaiseTheConversionError) {
    for (const char* text : {"NNTPNEWMAX=abc\n", "NNTPNEWMAX=\n", "SMTPAFTERPOPDELAY=1.5\n"}) {
        EXPECT_THROW(Read(text), EConvertError) << text;
    }
    try {
        Read("NNTPNEWMAX=abc\n");
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
    }
}

TEST(BoxConfig, LongLinesAreCutAt255) {
    std::string value(300, 'v');
    tbrixconfig c = Read("POP3SERVER=" + value + "\n");
    EXPECT_EQ(c.POP3SERVER.size(), 255u - 11u);
}

TEST(BoxConfig, FileIsFoundWithoutRegardToCase) {
    testing::TempTree t;
    t.Write("box1.BFG", "POP3SERVER=pop\r\n");
    tbrixconfig c(t / "BOX1.bfg");
    EXPECT_EQ(c.POP3SERVER, "pop");
    try {
        tbrixconfig missing(t / "NONE.bfg");
        ADD_FAILURE();
    } catch (const ebrixconfigerror& e) {
        EXPECT_EQ(e.Message(), "Config-Datei '" + t.Path() + "NONE.bfg' nicht gefunden");
    }
}

TEST(BoxConfig, TimeoutKeys) {
    EXPECT_EQ(TimeoutSeconds(""), 60);
    EXPECT_EQ(TimeoutSeconds("abc"), 60);
    EXPECT_EQ(TimeoutSeconds("0"), 60);
    EXPECT_EQ(TimeoutSeconds("15"), 15);
}

} // namespace
} // namespace brix
