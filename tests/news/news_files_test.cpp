// The news state and spool files: group pointer lines, entry counts and
// marks, a torn batch tail, the duplicate list and request records.

#include "news/group_pointers.h"
#include "news/news_spool.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

TEST(GroupPointers, LinesAreParsedAndRebuiltKeepingTheRest) {
    const std::pair<std::string, std::string> rows[] = {
        {"de.test 100 hdronly", "de.test 100 hdronly|1"},
        {"de.test    7", "de.test 7|0"},
        {"de.x -50 HDRONLY  remark  here ", "de.x -50 HDRONLY  remark  here|1"},
        {"de.x 9000000000 other", "de.x 9000000000 other|0"},
    };
    for (const auto& [line, expected] : rows) {
        GroupLine g = ParseGroupLine(line, "BOX1.rc");
        EXPECT_EQ(RebuildGroupLine(g) + "|" + std::to_string(g.headerOnly), expected);
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
}

TEST(NewsSpool, EntriesCountEveryByteAndCarryTheirMarks) {
    EXPECT_EQ(BatchEntry({"a", "bc", "", "d"}), "#! rnews 8\na\nbc\n\nd\n");
    Lines header = {"From: a", "Lines: 12", "Lines: 13"};
    MakeHeaderOnly(header);
    InsertHeaderMark(header, "X-Score: -5");
    EXPECT_EQ(header,
              (Lines{"From: a", "Lines: 0", "Lines: 13", "X-QV-Mode: HdrOnly", "X-Score: -5", ""}));
    Lines noEnd = {"From: a"};
    InsertHeaderMark(noEnd, "X-QV-Mode: ReplaceOwn");
    EXPECT_EQ(noEnd, (Lines{"X-QV-Mode: ReplaceOwn", "From: a"}));
    EXPECT_EQ(BatchFileName("sp/", 10), "sp/n000A.msg");
    EXPECT_EQ(BatchFileName("sp/", 65536), "sp/n10000.msg");
}

TEST(NewsSpool, ATornTailIsCutBackBeforeTheFirstAppend) {
    const std::string whole = "#! rnews 2\na\n#! rnews 3\nbc\n";
    for (std::string tail : {"#! rnews 50\nhalf", "#! rne", "#! rnews x\n"})
        EXPECT_EQ(WholeEntriesLength(whole + tail), whole.size()) << tail;
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
    EXPECT_TRUE(dupes.Contains("<ab>") && dupes.Contains("<cd>"));
    EXPECT_FALSE(dupes.Contains("") || dupes.Contains("<a"));
    dupes.Add("<four>");
    dupes.Add("<four>");
    dupes.Add("<seven12>");
    EXPECT_EQ(dupes.SavedText(1000), "x<ab>junk<cd><four><seven12>"); // never starts cut
    EXPECT_EQ(dupes.SavedText(10), "<seven12>");
    EXPECT_TRUE(dupes.Contains("<ab>"));
}

TEST(NewsSpool, RequestRecordsAreClampedAndATornOneIsNotAppendedTo) {
    std::string bytes = FormatRequestRecord({3, 7, "BOX1", "<id@x>"});
    ASSERT_EQ(bytes.size(), kRequestRecordSize);
    EXPECT_EQ(bytes.substr(0, 17), std::string("\x03\x07\x04"
                                               "BOX1\0\0\0\0\x06<id@x>",
                                               17));
    bytes[2] = '\xff'; // a length beyond its field is clamped to it
    EXPECT_EQ(ParseRequestRecord(bytes).box, std::string("BOX1\0\0\0\0", 8));
    testing::TempTree tree;
    tree.Write("request.id", bytes + "torn");
    AppendRequestRecord(tree / "request.id", {1, 0, "*", "other"});
    RequestFile file(tree / "request.id");
    ASSERT_EQ(file.Count(), 2);
    EXPECT_EQ(file.Read(1).messageId, "other");
}

} // namespace
} // namespace brix
