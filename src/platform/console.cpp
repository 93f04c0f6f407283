#include "platform/console.h"

#include "platform/terminal.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace brix {

namespace {

// Unicode code points of CP850 bytes 0x80 to 0xFF.
constexpr std::uint16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557,
    0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9,
    0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

enum class Charset { Utf8, Cp850, Latin1, Ascii };

// The codeset a locale's name gives ("de_DE.UTF-8"): what the terminal
// shows even where that locale is not generated and the C library fell back
// to ASCII.
std::string NamedCodeset() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(var);
        if (!value || !*value) continue;
        const std::string locale = value;
        const std::size_t dot = locale.find('.');
        if (dot == std::string::npos) return "";
        return locale.substr(dot + 1, locale.find('@', dot) - dot - 1);
    }
    return "";
}

Charset DetectCharset() {
    const char* cs = nl_langinfo(CODESET);
    std::string name = cs ? cs : "";
    if (name == "ANSI_X3.4-1968") name = NamedCodeset();
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (name == "UTF-8" || name == "UTF8") return Charset::Utf8;
    if (name == "CP850" || name == "IBM850") return Charset::Cp850;
    if (name.rfind("ISO-8859-1", 0) == 0 || name == "CP1252") return Charset::Latin1;
    return Charset::Ascii;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsShownControl(unsigned char c) {
    return (c < 0x20 && c != '\r' && c != '\n') || c == 0x7F;
}

void WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // a closed console is no reason to stop a transfer
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

class TerminalConsole final : public Console {
  public:
    TerminalConsole() : isTty_(::isatty(STDOUT_FILENO) == 1) {}

    void Write(std::string_view text) override { WriteAll(STDOUT_FILENO, Convert(text)); }
    void WriteError(std::string_view text) { WriteAll(STDERR_FILENO, Convert(text)); }

    void WriteAt(int x, int y, std::string_view text) override {
        if (!isTty_) return;
        std::string out = PendingColour();
        int cols = 80, rows = 25;
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            cols = ws.ws_col;
            rows = ws.ws_row;
        }
        if (x >= 1 && y >= 1 && x <= cols && y <= rows)
            out += "\x1b[" + std::to_string(y) + ";" + std::to_string(x) + "H";
        out += Convert(text);
        WriteAll(STDOUT_FILENO, out);
    }

    void SetAttr(std::uint8_t attr) override { wanted_ = attr; }

    void ClearScreen() override {
        if (isTty_) WriteAll(STDOUT_FILENO, "\x1b[2J\x1b[H");
    }
    void CursorOff() override {
        if (!isTty_) return;
        WriteAll(STDOUT_FILENO, "\x1b[?25l");
        NoteCursorHidden(true);
    }
    void CursorOn() override {
        if (!isTty_) return;
        WriteAll(STDOUT_FILENO, "\x1b[?25h");
        NoteCursorHidden(false);
    }
    void Bell() override {
        if (isTty_) WriteAll(STDOUT_FILENO, "\a");
    }
    bool IsScreen() const override { return isTty_; }

  private:
    std::string Convert(std::string_view text) {
        if (!charsetKnown_) {
            charset_ = DetectCharset();
            charsetKnown_ = true;
        }
        std::string out;
        out.reserve(text.size() + text.size() / 2);
        for (char ch : text) {
            auto c = static_cast<unsigned char>(ch);
            if (IsShownControl(c)) {
                out += '?';
            } else if (c < 0x80 || charset_ == Charset::Cp850) {
                out += static_cast<char>(c);
            } else {
                std::uint16_t cp = kCp850High[c - 0x80];
                if (charset_ == Charset::Utf8)
                    AppendUtf8(out, cp);
                else if (charset_ == Charset::Latin1 && cp <= 0xFF)
                    out += static_cast<char>(cp);
                else
                    out += '?';
            }
        }
        return out;
    }

    // Colours are sent only when they change, and only before text that
    // actually goes to the screen.
    std::string PendingColour() {
        if (wanted_ == sent_) return {};
        sent_ = wanted_;
        if (wanted_ == 7) return "\x1b[0m";
        static constexpr int kAnsi[8] = {0, 4, 2, 6, 1, 5, 3, 7};
        int fg = wanted_ & 0x0F, bg = (wanted_ >> 4) & 0x0F;
        int fgCode = (fg >= 8 ? 90 : 30) + kAnsi[fg & 7];
        int bgCode = (bg >= 8 ? 100 : 40) + kAnsi[bg & 7];
        return "\x1b[0;" + std::to_string(fgCode) + ";" + std::to_string(bgCode) + "m";
    }

    bool isTty_;
    bool charsetKnown_ = false;
    Charset charset_ = Charset::Ascii;
    std::uint8_t wanted_ = 7;
    std::uint8_t sent_ = 7;
};

TerminalConsole* RealConsole() {
    static TerminalConsole console;
    return &console;
}

// The console of -q: writes nothing, and is no screen, so that no status
// window is drawn either.
class SilentConsole final : public Console {
  public:
    void Write(std::string_view) override {}
    void WriteAt(int, int, std::string_view) override {}
    void SetAttr(std::uint8_t) override {}
    void ClearScreen() override {}
    void CursorOff() override {}
    void CursorOn() override {}
    void Bell() override {}
    bool IsScreen() const override { return false; }
};

Console* gConsole = nullptr;
bool gQuiet = false;

} // namespace

Console& TheConsole() {
    static SilentConsole silent;
    if (gConsole) return *gConsole;
    if (gQuiet) return silent;
    return *RealConsole();
}
void SetConsole(Console* console) {
    gConsole = console;
}

void SetConsoleQuiet(bool quiet) {
    gQuiet = quiet;
}
bool ConsoleQuiet() {
    return gQuiet;
}

void WriteErrorLine(std::string_view cp850) {
    std::string line(cp850);
    line += '\n';
    RealConsole()->WriteError(line);
}

void ShowFatal(std::string_view cp850) {
    // Standard output may be a pipe into another program: what stopped the
    // run belongs where every tool puts it.
    WriteErrorLine(cp850);
}

std::string Cp850ToUtf8(std::string_view cp850) {
    std::string out;
    for (char ch : cp850) {
        auto c = static_cast<unsigned char>(ch);
        if (IsShownControl(c))
            out += '?';
        else if (c < 0x80)
            out += static_cast<char>(c);
        else
            AppendUtf8(out, kCp850High[c - 0x80]);
    }
    return out;
}

bool Cp850Of(char32_t c, char& byte) {
    for (int i = 0; i < 128; ++i)
        if (kCp850High[i] == c) {
            byte = static_cast<char>(0x80 + i);
            return true;
        }
    return false;
}

} // namespace brix
