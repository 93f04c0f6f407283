// The helper command that gives a password or token: its first line, its
// environment, and every way it can fail, each ending within its time.

#include "platform/command.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

namespace brix {
namespace {

TEST(SecretCommand, FirstLineOrAClearReasonWithinItsTime) {
    const auto none = [] {};
    ::setenv("BRIX_USER", "inherited", 1); // ours must win over the caller's
    CommandLine got =
        FirstLineOf("printf 'tok-%s\\r\\nsecond\\n' \"$BRIX_USER\"", {"BRIX_USER=joe"}, 5000, none);
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.line, "tok-joe");
    ::unsetenv("BRIX_USER");
    struct Row {
        const char* command;
        const char* error;
    } rows[] = {{"echo pw; exit 3", "exit code 3"},
                {"true", "no output"},
                {"echo; echo late", "no output"},
                {"kill -9 $$", "ended by signal 9"},
                // A helper that hangs, also one that hangs after its line, and
                // what it started with it, are cut off at the deadline.
                {"sleep 30", "no answer within 0 s"},
                {"echo pw; exec sleep 30", "no answer within 0 s"},
                {"(sleep 30 &); echo pw; sleep 30", "no answer within 0 s"}};
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        got = FirstLineOf(row.command, {}, 300, none);
        EXPECT_FALSE(got.ok) << row.command;
        EXPECT_EQ(got.error, row.error) << row.command;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << row.command;
    }
    // The user's abort ends the wait, and the helper with it.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(FirstLineOf("sleep 30", {}, 60000,
                             [&] {
                                 if (std::chrono::steady_clock::now() - start >
                                     std::chrono::milliseconds(200))
                                     throw std::runtime_error("ESC");
                             }),
                 std::runtime_error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

} // namespace
} // namespace brix
