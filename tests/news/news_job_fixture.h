#pragma once
// Set-up of the news job tests: a box on the scripted NNTP server, the
// replies of its dialogues, and readers of the batches and state files.

#include "mail/mail_testing.h"
#include "news/get_news.h"
#include "news/news_spool.h"
#include "testing/script_server.h"

#include <string>
#include <vector>

namespace brix::testing {

using Lines = std::vector<std::string>;

// An article with the given number in its subject and Message-ID <n@x>.
inline Lines NewsArticle(int n, const std::string& body = "body") {
    return {"From: poster@example.org",
            "Subject: s" + std::to_string(n),
            "Message-ID: <" + std::to_string(n) + "@x>",
            "Lines: 1",
            "",
            body};
}

// Its overview line (RFC 2980 field order).
inline std::string OverviewLine(int n) {
    return std::to_string(n) + "\ts" + std::to_string(n) + "\tposter@example.org\tToday\t<" +
           std::to_string(n) + "@x>\t\t99\t1";
}

// What the batch holds for these articles.
inline std::string Entries(const std::vector<Lines>& articles) {
    std::string out;
    for (const Lines& a : articles) {
        std::string text;
        for (const std::string& line : a)
            text += line + "\n";
        out += "#! rnews " + std::to_string(text.size()) + "\n" + text;
    }
    return out;
}

class NewsJobTest : public MailJobTest {
  protected:
    void SetUp() override {
        MailJobTest::SetUp();
        NewsBatchCounter() = 0;
        box.NNTPSERVER = "127.0.0.1";
        box.NNTPSPOOL = SpoolDir();
        box.NNTPTIMEOUT = 3;
    }
    void Rc(const std::string& text) { tree.Write("BOX1.rc", text); }
    std::string Rc() const { return tree.Read("BOX1.rc"); }
    std::string Batch(const std::string& name = "n0000.msg") const {
        return tree.Read("spool/" + name);
    }
    std::string Dupes() const { return tree.Read("e-news.idx"); }
    // Runs the job against the server, which must hear what it expects.
    void Run(const Script& script, bool pho = false, tbrix_scorefile* score = nullptr) {
        ScriptServer server(script);
        box.NNTPPORT = server.PortText();
        GetNews(box, pho, score);
        EXPECT_TRUE(server.Passed()) << server.Report();
    }
    bool Logged(const std::string& line) const {
        for (const std::string& l : RunLog())
            if (l == line) return true;
        return false;
    }
};

} // namespace brix::testing
