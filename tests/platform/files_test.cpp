#include "platform/console.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "support/errors.h"
#include "support/textfile.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::TempTree;

TEST(FileNames, ExactNameWinsThenCaseInsensitiveMatch) {
    TempTree t;
    t.Write("Box1.BFG", "a");
    t.Write("box1.bfg", "b");
    t.Write("QVDESK.CFG", "c");
    EXPECT_EQ(ResolveName(t / "box1.bfg"), t / "box1.bfg");
    EXPECT_EQ(ResolveName(t / "BOX1.bfg"), t / "Box1.BFG"); // first in byte order
    EXPECT_EQ(ResolveName(t / "qvdesk.cfg"), t / "QVDESK.CFG");
    EXPECT_EQ(ResolveName(t / "missing.txt"), t / "missing.txt");
    EXPECT_TRUE(FileExists(t / "qvdesk.cfg"));
    EXPECT_FALSE(FileExists(t / "missing.txt"));
}

TEST(FileNames, WildcardSearchIgnoresCaseTakesFilesOnlyAndSorts) {
    TempTree t;
    t.Write("m0002.out", "");
    t.Write("M0001.OUT", "");
    t.Write("m0003.msg", "");
    t.Write("n0001.out", "");
    t.MakeDir("m0000.out");
    EXPECT_EQ(FindFiles(t / "m*.out"), (std::vector<std::string>{"M0001.OUT", "m0002.out"}));
    EXPECT_TRUE(FileMatchExists(t / "N*.OUT"));
    EXPECT_FALSE(FileMatchExists(t / "x*.out"));
    EXPECT_TRUE(FindFiles(t / "nodir/m*.out").empty());
}

TEST(FileNames, DirExistsIgnoresOneTrailingSlash) {
    TempTree t;
    t.MakeDir("d");
    EXPECT_TRUE(DirExists(t / "d"));
    EXPECT_TRUE(DirExists(t / "d/"));
    EXPECT_FALSE(DirExists(t / "e/"));
    t.Write("f", "");
    EXPECT_FALSE(DirExists(t / "f"));
    EXPECT_TRUE(DirExists("/"));
}

TEST(FileLines, LinesEndInLfOrCrLfAndAreKeptWhole) {
    std::string longLine(100000, 'x');
    EXPECT_EQ(SplitLines("a\r\nb\n\r\n" + longLine + "\nlast"),
              (std::vector<std::string>{"a", "b", "", longLine, "last"}));
    EXPECT_TRUE(SplitLines("").empty());
    EXPECT_EQ(SplitLines("a\rb\n"), (std::vector<std::string>{"a\rb"}));
}

TEST(FileWriting, ListFileLineEnds) {
    TempTree t;
    WriteListFile({"a", "bc"}, t / "lf", false, true);
    EXPECT_EQ(t.Read("lf"), "a\nbc\n");
    WriteListFile({"a", "bc"}, t / "crlf", false, false);
    EXPECT_EQ(t.Read("crlf"), "a\r\nbc\r\n");
    WriteListFile({"d"}, t / "crlf", true, false);
    EXPECT_EQ(t.Read("crlf"), "a\r\nbc\r\nd\r\n");
    WriteListFile({}, t / "crlf", false, false);
    EXPECT_EQ(t.Read("crlf"), "");
    EXPECT_THROW(WriteListFile({"a"}, t / "no/such/dir", false, true), EInOutError);
}

TEST(FileWriting, AppendNeverTruncates) {
    TempTree t;
    AppendWhole(t / "f", "one\n");
    AppendWhole(t / "f", "two\n");
    EXPECT_EQ(t.Read("f"), "one\ntwo\n");
    EXPECT_THROW(AppendWhole(t / "no/f", "x"), EInOutError);
}

TEST(FileWriting, FailedAppendIsCutBack) {
    // /dev/full refuses every write with ENOSPC; a regular file cannot be
    // made to fail half-way here, so the cut-back path is checked on the
    // device's error and the old content of a real file stays untouched.
    if (!EntryExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_THROW(AppendWhole("/dev/full", "data"), EInOutError);
}

TEST(FileWriting, ReplaceIsAtomicAndKeepsPermissions) {
    TempTree t;
    t.Write("state", "old");
    ::chmod((t / "state").c_str(), 0600);
    ReplaceFile(t / "state", "new contents");
    EXPECT_EQ(t.Read("state"), "new contents");
    struct stat st {};
    ASSERT_EQ(::stat((t / "state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left behind.
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(t.Path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    EXPECT_THROW(ReplaceFile(t / "no/state", "x"), EInOutError);
}

TEST(FileWriting, NewFileIsCommittedWithoutReplacing) {
    TempTree t;
    t.Write("m0001.msg", "existing");
    {
        NewFile f(t / "m0001.tmp");
        f.Write("new message");
        EXPECT_FALSE(f.CommitAs(t / "m0001.msg"));
        EXPECT_TRUE(f.CommitAs(t / "m0002.msg"));
    }
    EXPECT_EQ(t.Read("m0001.msg"), "existing");
    EXPECT_EQ(t.Read("m0002.msg"), "new message");
    EXPECT_FALSE(t.Exists("m0001.tmp"));
    {
        NewFile f(t / "m0003.tmp");
        f.Write("abandoned");
    }
    EXPECT_FALSE(t.Exists("m0003.tmp"));
    t.Write("m0004.tmp", "");
    EXPECT_THROW(NewFile(t / "m0004.tmp"), EInOutError);
}

TEST(Keys, DecoderTellsEscFromSequences) {
    KeyDecoder d;
    std::string in = "a\x1b[A\x1bOP\x1b\x1b\x1b[1;5D\x1b";
    d.Feed(in.data(), static_cast<int>(in.size()));
    std::vector<int> keys;
    while (d.HasKey())
        keys.push_back(d.Next());
    EXPECT_EQ(keys,
              (std::vector<int>{'a', kFunctionKey, kFunctionKey, kEscKey, kFunctionKey, kEscKey}));
}

TEST(Console, Cp850ToUtf8) {
    EXPECT_EQ(Cp850ToUtf8("\xDA\xC4\xBF\xB3\x81\xE1\xDB\xB0"),
              "\u250C\u2500\u2510\u2502\u00FC\u00DF\u2588\u2591");
    EXPECT_EQ(Cp850ToUtf8("a\x1b[31mb\r\n\t\x07"), "a?[31mb\r\n??");
}

} // namespace
} // namespace brix
