#include "context/abort.h"

#include "net/socket_abort.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

namespace brix {

void CheckUserAbort() {
    // An abort that came while the server held its verdict on a message was
    // put off until the verdict was in; its bell has rung already.
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
    throw ebrix_break("aborted by user ...");
}

} // namespace brix
