// The news spool and state files: entry counts and batch names, a torn
// batch tail, the duplicate list and request records.

#include "news/news_spool.h"
#include "testing/settings_scope.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using Lines = std::vector<std::string>;

TEST(NewsSpool, EntriesCountEveryByteAndBatchesAreNumberedInHex) {
    EXPECT_EQ(BatchEntry({"a", "bc", "", "d"}), "#! rnews 8\na\nbc\n\nd\n");
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
