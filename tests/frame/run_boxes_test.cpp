// What the whole runs cannot reach: the keys that abort a job, and the
// SMTP-after-POP pause at the edges of the millisecond clock.

#include "frame/abort.h"
#include "frame/run_boxes.h"
#include "platform/fakes.h"

#include <gtest/gtest.h>

namespace brix {
namespace {

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

// A clock that went backwards counts as no time elapsed; 24.8 days of
// uptime are nothing special.
TEST(SmtpAfterPop, PauseIsTheRestOfTheDelay) {
    EXPECT_EQ(SmtpAfterPopPause(1000, 13000, 30), 18000);
    EXPECT_EQ(SmtpAfterPopPause(5000, 100, 2), 2000);
    EXPECT_EQ(SmtpAfterPopPause(0x7FFFFF00, 0x80000100, 1), 488);
}

} // namespace
} // namespace brix
