#include "context/abort.h"

#include "net/socket_abort.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

namespace brix {

namespace {

std::atomic<std::uint64_t> gAborts{0};

// Set on a thread that works ahead of its turn (TAbortFromOwner).
struct OwnerWatch {
    std::uint64_t since = 0;
    const std::atomic<bool>* cancel = nullptr;
};
thread_local OwnerWatch tOwnerWatch;

[[noreturn]] void RaiseAbort() {
    gAborts.fetch_add(1, std::memory_order_release);
    throw ebrix_break("aborted by user ...");
}

} // namespace

std::uint64_t AbortsSoFar() {
    return gAborts.load(std::memory_order_acquire);
}

TAbortFromOwner::TAbortFromOwner(std::uint64_t since, const std::atomic<bool>& cancel) {
    tOwnerWatch = {since, &cancel};
}

TAbortFromOwner::~TAbortFromOwner() {
    tOwnerWatch = {};
}

void CheckUserAbort() {
    if (const OwnerWatch& w = tOwnerWatch; w.cancel) {
        if (w.cancel->load(std::memory_order_acquire) || AbortsSoFar() != w.since)
            throw ebrix_break("aborted by user ...");
        return;
    }
    // An abort that came while the server held its verdict on a message was
    // put off until the verdict was in; its bell has rung already.
    // (It was counted when it was raised.)
    if (std::exception_ptr held = TakeHeldAbort()) std::rethrow_exception(held);
    bool abort = TakeAbortSignal();
    Keyboard& kbd = TheKeyboard();
    if (kbd.KeyPressed()) {
        int first = kbd.ReadKey();
        while (kbd.KeyPressed())
            kbd.ReadKey();
        if (first == kEscKey) abort = true;
    }
    if (!abort) return;
    TheConsole().Bell();
    RaiseAbort();
}

} // namespace brix
