#include "display/status_screen.h"

#include "platform/fakes.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

using testing::FixedClock;
using testing::MemoryScreen;
using testing::TempTree;

class StatusScreenRef : public ::testing::Test {
  protected:
    void TearDown() override { CloseStatusScreen(); }
    MemoryScreen screen;
    FixedClock clock;
    TempTree dir;
};

TEST_F(StatusScreenRef, OpenSetsTheReferenceAndCloseMovesBelowTheFrame) {
    EXPECT_EQ(StatusScreen(), nullptr);
    tbrix_info& info = OpenStatusScreen("banner", "second", dir.Path());
    EXPECT_EQ(StatusScreen(), &info);
    EXPECT_TRUE(info.AutoUpdate());
    EXPECT_EQ(screen.Text(3, 4, 1), "\xDA");
    EXPECT_EQ(screen.Text(5, 5, 6), "banner");
    info.Pop3Line().SetServer("pop.example.org");
    screen.writes.clear();
    CloseStatusScreen();
    EXPECT_EQ(StatusScreen(), nullptr);
    ASSERT_EQ(screen.writes.size(), 1u);
    EXPECT_EQ(screen.writes[0].x, 1);
    EXPECT_EQ(screen.writes[0].y, 25);
    EXPECT_EQ(screen.writes[0].text, "");
    EXPECT_EQ(screen.writes[0].attr, 7);
    // The frame stays; closing again draws nothing.
    EXPECT_EQ(screen.Text(3, 4, 1), "\xDA");
    CloseStatusScreen();
    EXPECT_EQ(screen.writes.size(), 1u);
}

TEST_F(StatusScreenRef, ColourFileErrorLeavesTheReferenceEmpty) {
    dir.Write("qvdesk.col", "MAILER=red\n");
    EXPECT_THROW(OpenStatusScreen("banner", "second", dir.Path()), EConvertError);
    EXPECT_EQ(StatusScreen(), nullptr);
}

TEST_F(StatusScreenRef, ScopeClosesOnEveryWayOut) {
    try {
        StatusScreenScope scope("banner", "second", dir.Path());
        ASSERT_NE(StatusScreen(), nullptr);
        throw std::runtime_error("job failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(StatusScreen(), nullptr);
    EXPECT_EQ(screen.writes.back().y, 25);
}

TEST_F(StatusScreenRef, SetStatusScreenDoesNotTakeOwnership) {
    {
        tbrix_info info(3, 4, "t", "s", false, dir.Path());
        SetStatusScreen(&info);
        EXPECT_EQ(StatusScreen(), &info);
        SetStatusScreen(nullptr);
    }
    EXPECT_EQ(StatusScreen(), nullptr);
}

} // namespace
} // namespace brix
