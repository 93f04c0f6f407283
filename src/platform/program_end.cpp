#include "platform/program_end.h"

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "platform/terminal.h"
#include "support/language.h"
#include "support/text.h"

namespace brix {

void ErrorHalt(int code, const std::string& message) {
    ShowFatal(message);
    TheClock().Sleep(1000);
    ExitProgram(code);
}

void ErrorHaltPrompt(int code, const std::string& message) {
    ShowFatal(message);
    TimedKeyPrompt(Tr("Weiter mit Return ..."), 546, "\r");
    ExitProgram(code);
}

char TimedKeyPrompt(const std::string& prompt, int ticks, const std::string& keys) {
    Console& con = TheConsole();
    Keyboard& kbd = TheKeyboard();
    // Return arrives as LF from a terminal in non-canonical mode.
    std::string accepted = keys;
    if (accepted.find('\r') != std::string::npos) accepted += '\n';
    auto show = [&](std::int64_t remaining) {
        std::int64_t s = remaining / 1000;
        con.Write("\r" + prompt + " [" + IntToBase(s / 60, 10, 2) + ":" + IntToBase(s % 60, 10, 2) +
                  "] ");
    };
    std::int64_t remaining = static_cast<std::int64_t>(ticks) * 55;
    if (!kbd.IsInteractive()) {
        // Nobody can press Return: show the prompt once and go on at once.
        show(remaining);
        con.Write("\n");
        return '\0';
    }
    DiscardKeys();
    char key = '\0';
    for (;;) {
        show(remaining);
        TheClock().Sleep(1000);
        remaining -= 1000;
        if (kbd.KeyPressed()) {
            int k = kbd.ReadKey();
            if (k >= 0 && k < 256 && accepted.find(static_cast<char>(k)) != std::string::npos) {
                key = static_cast<char>(k);
                if (static_cast<unsigned char>(key) >= 32) con.Write(std::string(1, key));
                con.Write("\n");
            }
        }
        if (key != '\0' || remaining < 1000) break;
    }
    DiscardKeys();
    if (key == '\n') key = '\r';
    return key;
}

} // namespace brix
