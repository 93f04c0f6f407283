#include "testing/drop_privileges.h"

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brix::testing {

namespace {

// Becomes nobody:nogroup; false when the process keeps root.
bool GiveUpRoot() {
    uid_t uid = 65534;
    gid_t gid = 65534;
    if (const passwd* pw = ::getpwnam("nobody")) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
    }
    if (const group* gr = ::getgrnam("nogroup")) gid = gr->gr_gid;
    // Groups first: after setuid the process may no longer change them.
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) return false;
    return ::geteuid() != 0 && ::getegid() != 0;
}

} // namespace

int RunUnprivileged(const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid < 0) return kChildNotRun;
    if (pid == 0) {
        int code = kChildStillRoot;
        if (::geteuid() != 0 || GiveUpRoot()) {
            try {
                code = body();
            } catch (...) {
                code = kChildThrew;
            }
        }
        // No atexit handlers or flushes of the parent's buffers in the child.
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return kChildNotRun;
    return WIFEXITED(status) ? WEXITSTATUS(status) : kChildNotRun;
}

} // namespace brix::testing
