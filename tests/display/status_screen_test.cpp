#include "display/status_screen.h"

#include "platform/fakes.h"
#include "support/errors.h"
#include "testing/temp_tree.h"

#include <gtest/gtest.h>

#include <tuple>

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
    screen.writes.clear();
    CloseStatusScreen();
    EXPECT_EQ(StatusScreen(), nullptr);
    ASSERT_EQ(screen.writes.size(), 1u);
    const auto& w = screen.writes[0];
    EXPECT_EQ((std::tuple{w.x, w.y, w.text, w.attr}), (std::tuple{1, 25, "", 7}));
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

} // namespace
} // namespace brix
