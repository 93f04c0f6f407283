#pragma once
// Permission tests that also hold for root: the checked operation runs in a
// forked child that, when the tests run as root (as CI does), first becomes
// the unprivileged user "nobody" with group "nogroup", so that file modes
// stop it as they stop any user. The child reports through its exit code.

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace brix::testing {

// What the child could not do itself.
constexpr int kChildNotRun = -1;     // fork failed, or the child died by a signal
constexpr int kChildThrew = 124;     // an exception left body
constexpr int kChildStillRoot = 125; // root could not be given up

// Runs body in a child (without root, when we are root) and returns what
// body returned (0 to 123), or one of the codes above. Only the child sees
// what body does: no test assertion may be made inside it. Paths the child
// uses must be reachable for others (mode 0755 on their folders), and what
// it must not be allowed must be denied to others as well as to the owner.
int RunUnprivileged(const std::function<int()>& body);

// Success when fn, run by RunUnprivileged, raised E.
template <class E, class Fn>::testing::AssertionResult RaisesUnprivileged(const Fn& fn) {
    int code = RunUnprivileged([&] {
        try {
            fn();
        } catch (const E&) {
            return 0;
        }
        return 1;
    });
    if (code == 0) return ::testing::AssertionSuccess();
    const char* why = code == 1                 ? "nothing was raised"
                      : code == kChildThrew     ? "another exception was raised"
                      : code == kChildStillRoot ? "root could not be given up"
                                                : "the child did not run to its end";
    return ::testing::AssertionFailure() << why;
}

} // namespace brix::testing
