#include "platform/files.h"
#include "support/errors.h"
#include "support/textfile.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace brix {
namespace {

using testing::TempTree;

TEST(FileWriting, ReplaceIsAtomicAndKeepsPermissions) {
    TempTree t;
    t.Write("state", "old");
    ::chmod((t / "state").c_str(), 0600);
    ReplaceFile(t / "state", "new contents");
    EXPECT_EQ(t.Read("state"), "new contents");
    struct stat st {};
    ASSERT_EQ(::stat((t / "state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(t.Path()), {}), 1);
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
        NewFile abandoned(t / "m0003.tmp");
    }
    EXPECT_EQ(t.Read("m0001.msg"), "existing");
    EXPECT_EQ(t.Read("m0002.msg"), "new message");
    EXPECT_FALSE(t.Exists("m0001.tmp"));
    EXPECT_FALSE(t.Exists("m0003.tmp"));
    t.Write("m0004.tmp", "");
    EXPECT_THROW(NewFile(t / "m0004.tmp"), EInOutError);
}

} // namespace
} // namespace brix
