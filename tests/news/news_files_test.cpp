// The news state and spool files: group pointer lines, batch entries and
// their marks, a torn batch tail, the duplicate list and request records.

#include "news/group_pointers.h"
#include "news/news_spool.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

TEST(GroupPointers, LinesAreParsedAndRebuiltKeepingTheRest) {
    struct Row {
        std::string line, group;
        std::int64_t pointer;
        bool headerOnly;
        std::string rest, rebuilt;
    };
    const Row rows[] = {
        {"de.test 100 hdronly", "de.test", 100, true, " hdronly", "de.test 100 hdronly"},
        {"de.test    7", "de.test", 7, false, "", "de.test 7"},
        {"de.x -50 HDRONLY  remark  here ", "de.x", -50, true, " HDRONLY  remark  here",
         "de.x -50 HDRONLY  remark  here"},
        {"de.x 9000000000 other", "de.x", 9000000000, false, " other", "de.x 9000000000 other"},
    };
    for (const Row& r : rows) {
        GroupLine g = ParseGroupLine(r.line, "BOX1.rc");
        EXPECT_EQ(g.group, r.group) << r.line;
        EXPECT_EQ(g.pointer, r.pointer) << r.line;
        EXPECT_EQ(g.headerOnly, r.headerOnly) << r.line;
        EXPECT_EQ(g.rest, r.rest) << r.line;
        EXPECT_EQ(RebuildGroupLine(g), r.rebuilt) << r.line;
    }
    for (std::string bad : {"de.test", "de.test\t5", " # comment", "de.test 12x HDRONLY"}) {
        try {
            ParseGroupLine(bad, "BOX1.rc");
            ADD_FAILURE() << bad;
        } catch (const ebrix_nntp& e) {
            EXPECT_EQ(e.Message(), "Error in RC-file BOX1.rc: " + bad);
        }
    }
    EXPECT_FALSE(IsGroupLine("#de.test 5"));
    EXPECT_FALSE(IsGroupLine(""));
}

TEST(NewsSpool, BatchEntriesCountEveryByteAndCarryTheirMarks) {
    EXPECT_EQ(BatchEntry({"a", "bc", "", "d"}), "#! rnews 8\na\nbc\n\nd\n");
    const std::string longLine(70000, 'x');
    Lines article = {"Subject: \xe4\xf6", "", ".", "..x", longLine};
    EXPECT_EQ(BatchEntry(article), "#! rnews " + std::to_string(12 + 1 + 2 + 4 + 70001) + "\n" +
                                       "Subject: \xe4\xf6\n\n.\n..x\n" + longLine + "\n");

    Lines header = {"From: a", "Lines: 12", "Lines: 13"};
    MakeHeaderOnly(header);
    InsertHeaderMark(header, "X-Score: -5");
    EXPECT_EQ(header,
              (Lines{"From: a", "Lines: 0", "Lines: 13", "X-QV-Mode: HdrOnly", "X-Score: -5", ""}));
    Lines bare = {"From: a"};
    MakeHeaderOnly(bare);
    EXPECT_EQ(bare, (Lines{"From: a", "X-QV-Mode: HdrOnly", ""}));
    Lines noEnd = {"From: a"};
    InsertHeaderMark(noEnd, "X-QV-Mode: ReplaceOwn");
    EXPECT_EQ(noEnd, (Lines{"X-QV-Mode: ReplaceOwn", "From: a"}));

    EXPECT_EQ(BatchFileName("sp/", 0), "sp/n0000.msg");
    EXPECT_EQ(BatchFileName("sp/", 10), "sp/n000A.msg");
    EXPECT_EQ(BatchFileName("sp/", 65536), "sp/n10000.msg");
}

TEST(NewsSpool, ATornTailIsCutBackBeforeTheFirstAppend) {
    const std::string whole = "#! rnews 2\na\n#! rnews 3\nbc\n";
    EXPECT_EQ(WholeEntriesLength(whole), whole.size());
    EXPECT_EQ(WholeEntriesLength(whole + "#! rnews 9\nabc"), whole.size());
    EXPECT_EQ(WholeEntriesLength(whole + "#! rne"), whole.size());
    EXPECT_EQ(WholeEntriesLength("#! rnews x\n"), 0u);

    testing::TempTree tree;
    testing::SettingsScope settings(tree);
    tree.Write("n0000.msg", whole + "#! rnews 50\nhalf");
    BatchWriter writer;
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"z"}), 2);
    EXPECT_EQ(writer.Append(tree / "n0000.msg", {"y"}), 2);
    writer.Sync();
    EXPECT_EQ(tree.Read("n0000.msg"), whole + "#! rnews 2\nz\n#! rnews 2\ny\n");
    EXPECT_NE(tree.Read("qv-ppp.log").find("torn batch entry cut off"), std::string::npos);
}

TEST(NewsSpool, DuplicatesAreFoundInTheSetAndTrimmedOnlyWhenSaved) {
    NewsDupes dupes;
    dupes.SetText("12>x<ab>junk<cd>");
    for (std::string id : {"<ab>", "<cd>"})
        EXPECT_TRUE(dupes.Contains(id)) << id;
    EXPECT_FALSE(dupes.Contains(""));
    EXPECT_FALSE(dupes.Contains("<a"));
    dupes.Add("<four>");
    dupes.Add("<four>");
    dupes.Add("<seven12>");
    EXPECT_TRUE(dupes.Contains("<four>"));
    EXPECT_EQ(dupes.SavedText(1000), "x<ab>junk<cd><four><seven12>"); // never starts cut
    // The limit cuts into "<four>"; the cut id is dropped whole.
    EXPECT_EQ(dupes.SavedText(10), "<seven12>");
    EXPECT_TRUE(dupes.Contains("<ab>"));
}

TEST(NewsSpool, RequestRecordsAreWholeClampedAndRewrittenInPlace) {
    RequestRecord r{3, 7, "BOX1", "<id@x>"};
    std::string bytes = FormatRequestRecord(r);
    ASSERT_EQ(bytes.size(), kRequestRecordSize);
    EXPECT_EQ(bytes.substr(0, 17), std::string("\x03\x07\x04"
                                               "BOX1\0\0\0\0\x06<id@x>",
                                               17));
    bytes[2] = '\xff'; // a length beyond its field is clamped to it
    EXPECT_EQ(ParseRequestRecord(bytes).box, std::string("BOX1\0\0\0\0", 8));

    testing::TempTree tree;
    AppendRequestRecord(tree / "request.id", r);
    tree.Write("request.id", tree.Read("request.id") + "torn");
    AppendRequestRecord(tree / "request.id", {1, 0, "*", "other"});
    RequestFile file(tree / "request.id");
    ASSERT_EQ(file.Count(), 2);
    file.WriteState(1, 255);
    EXPECT_EQ(file.Read(0).state, 7);
    EXPECT_EQ(file.Read(1).state, 255);
    EXPECT_EQ(file.Read(1).messageId, "other");
    EXPECT_EQ(file.Read(1).box, "*");
}

} // namespace
} // namespace brix
