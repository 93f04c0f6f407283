#pragma once
// The console as the program sees it: CP850 text, positioned writes with
// Windows-style colour attributes, a cursor that can be hidden, and a bell.
// The real implementation turns this into ANSI sequences for the terminal;
// tests install an in-memory screen.

#include <cstdint>
#include <string>
#include <string_view>

namespace brix {

class Console {
  public:
    virtual ~Console() = default;
    // Plain console output at the cursor (messages, verbose lines).
    virtual void Write(std::string_view cp850) = 0;
    void WriteLine(std::string_view cp850) {
        Write(cp850);
        Write("\n");
    }
    // Text at column x, row y (1-based); a position outside the window leaves
    // the cursor where it is.
    virtual void WriteAt(int x, int y, std::string_view cp850) = 0;
    // Attribute for the following writes: background * 16 + foreground.
    virtual void SetAttr(std::uint8_t attr) = 0;
    virtual void ClearScreen() = 0;
    virtual void CursorOff() = 0;
    virtual void CursorOn() = 0;
    virtual void Bell() = 0;
    // True when the status window can be drawn.
    virtual bool IsScreen() const = 0;
};

Console& TheConsole();
// Replaces the console (tests); nullptr restores the terminal.
void SetConsole(Console* console);

// -q: standard output stays empty (no banner, no window, no lines), for
// cron and timers; what goes to standard error still goes there.
void SetConsoleQuiet(bool quiet);
bool ConsoleQuiet();
// A line on standard error, in the terminal's character set, control bytes
// shown as "?" like on the console.
void WriteErrorLine(std::string_view cp850);
// A message that ends the program: on standard error, quiet or not.
void ShowFatal(std::string_view cp850);

// WriteAt of the design: through the program's console.
inline void WriteAt(int x, int y, std::string_view text) {
    TheConsole().WriteAt(x, y, text);
}
inline void CursorOff() {
    TheConsole().CursorOff();
}
inline void CursorOn() {
    TheConsole().CursorOn();
}

// CP850 to the terminal's character set. Control bytes other than CR and LF
// become "?", so that server text can never send escape sequences.
std::string Cp850ToUtf8(std::string_view cp850);
// The CP850 byte of a character beyond ASCII; false when CP850 has none.
bool Cp850Of(char32_t c, char& byte);

} // namespace brix
