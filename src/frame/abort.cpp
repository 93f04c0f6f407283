#include "frame/abort.h"

#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"

namespace brix {

void CheckUserAbort() {
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
