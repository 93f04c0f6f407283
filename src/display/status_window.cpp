#include "display/status_window.h"

#include "platform/console.h"
#include "platform/files.h"
#include "support/errors.h"
#include "support/text.h"

#include <limits>

namespace brix {

namespace {

constexpr int kInnerWidth = 74;
constexpr int kFrameRows = 20;

std::string FrameRow(char left, char fill, char right) {
    return left + std::string(kInnerWidth, fill) + right;
}

// A console position; one that does not fit lies outside the window.
int Position(std::int64_t p) {
    return p < 1 || p > std::numeric_limits<int>::max() ? 0 : static_cast<int>(p);
}

std::int32_t Offset(std::int32_t base, int d) {
    std::int64_t p = static_cast<std::int64_t>(base) + d;
    if (p > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (p < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(p);
}

} // namespace

StatusColors ParseStatusColors(const std::vector<std::string>& lines) {
    StatusColors colors = kDefaultStatusColors;
    for (const std::string& raw : lines) {
        std::string line = UpperAscii(Cut(raw));
        TrimBlanks(line);
        if (line.rfind("MAILER", 0) != 0) continue;
        line.erase(0, 6);
        TrimBlanks(line);
        // "MAILERxyz" or a bare "MAILER" is not the colour line; keep looking.
        if (line.empty() || line.front() != '=') continue;
        line.erase(0, 1);
        TrimBlanks(line);
        const int words = WordCount(line);
        for (int i = 1; i <= words; ++i) {
            std::int32_t value = StrToInt(ExtractWord(i, line));
            if (value < 0 || value > 255 || i > static_cast<int>(colors.size())) ThrowRangeError();
            colors[static_cast<std::size_t>(i - 1)] = static_cast<std::uint8_t>(value);
        }
        break; // only the first colour line counts
    }
    return colors;
}

StatusColors LoadStatusColors(const std::string& qvPath) {
    const std::string name = ResolveName(qvPath + "qvdesk.col");
    if (!FileExists(name)) return kDefaultStatusColors;
    return ParseStatusColors(ReadLines(name));
}

tbrix_info::tbrix_info(std::int32_t col, std::int32_t row, std::string_view title,
                       std::string_view subtitle, bool autoUpdate, const std::string& qvPath)
    : title_(Cut(std::string(title))), subtitle_(Cut(std::string(subtitle))), col_(col), row_(row),
      autoUpdate_(autoUpdate), qvPath_(qvPath) {
    LoadColors();
    DrawFrame();
    pop3Line_ = std::make_unique<tbrix_sinf>(Offset(col_, 2), Offset(row_, 3), "POP3", colors_,
                                             autoUpdate_);
    smtpLine_ = std::make_unique<tbrix_sinf>(Offset(col_, 2), Offset(row_, 7), "SMTP", colors_,
                                             autoUpdate_);
    // Only block 1 is used by the news jobs, and only its rate line falls on
    // the bottom border clear of the subtitle; the others keep theirs hidden.
    newsLines_[0] = std::make_unique<tbrix_ninf>(Offset(col_, 2), Offset(row_, 11), "NNTP", colors_,
                                                 autoUpdate_);
    newsLines_[1] = std::make_unique<tbrix_ninf>(Offset(col_, 39), Offset(row_, 11), "NNTP",
                                                 colors_, autoUpdate_, false);
    newsLines_[2] = std::make_unique<tbrix_ninf>(Offset(col_, 2), Offset(row_, 15), "NNTP", colors_,
                                                 autoUpdate_, false);
    newsLines_[3] = std::make_unique<tbrix_ninf>(Offset(col_, 39), Offset(row_, 15), "NNTP",
                                                 colors_, autoUpdate_, false);
}

tbrix_info::~tbrix_info() {
    try {
        TheConsole().SetAttr(7);
    } catch (...) {
        // Nothing sensible is left to do with a console that fails here.
    }
}

tbrix_ninf& tbrix_info::NewsLines(int n) {
    if (n < 1 || n > static_cast<int>(newsLines_.size())) ThrowRangeError();
    return *newsLines_[static_cast<std::size_t>(n - 1)];
}

void tbrix_info::LoadColors() {
    colors_ = LoadStatusColors(qvPath_);
}

void tbrix_info::DrawFrame() const {
    const std::string top = FrameRow('\xDA', '\xC4', '\xBF');
    const std::string side = FrameRow('\xB3', ' ', '\xB3');
    const std::string separator = FrameRow('\xC3', '\xC4', '\xB4');
    const std::string bottom = FrameRow('\xC0', '\xC4', '\xD9');
    const int x = Position(col_);
    TheConsole().SetAttr(colors_[0]);
    for (int dy = 0; dy < kFrameRows; ++dy) {
        const std::string* line = &side;
        if (dy == 0)
            line = &top;
        else if (dy == 2 || dy == 6 || dy == 10)
            line = &separator;
        else if (dy == kFrameRows - 1)
            line = &bottom;
        WriteAt(x, Position(static_cast<std::int64_t>(row_) + dy), *line);
    }
    TheConsole().SetAttr(colors_[2]);
    WriteAt(Position(static_cast<std::int64_t>(col_) + 2),
            Position(static_cast<std::int64_t>(row_) + 1), title_);
    // The subtitle, between two blanks; its text ends three columns before the
    // corner.
    WriteAt(Position(static_cast<std::int64_t>(col_) + 72 -
                     static_cast<std::int64_t>(subtitle_.size())),
            Position(static_cast<std::int64_t>(row_) + kFrameRows - 1), " " + subtitle_ + " ");
}

} // namespace brix
