#pragma once
// The framed status window of a run: a 76 by 20 box with the banner in its
// title row, a second text in its bottom border, and the jobs' status blocks
// inside, in the colours the host reader uses for its own mailer window.

#include "display/status_lines.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brix {

// Frame and labels black on light grey, values white, titles yellow.
constexpr StatusColors kDefaultStatusColors = {0x70, 0x7F, 0x7E};

// The colours of the "MAILER" line of the host reader's colour file, given as
// its lines: the first line that, upper-cased and trimmed, starts with
// "MAILER" followed by "=" sets colour 1, 2, 3 from its blank-separated
// decimal words; fewer words keep the remaining defaults. A word that is not
// a number raises EConvertError; a number outside 0..255, or a fourth word,
// raises ERangeError.
StatusColors ParseStatusColors(const std::vector<std::string>& lines);

// ParseStatusColors of "qvdesk.col" in the host reader's directory qvPath
// (ending in "/"), the file name matched without regard to case. A missing
// file gives the defaults; a read error raises EInOutError.
StatusColors LoadStatusColors(const std::string& qvPath);

class tbrix_info {
  public:
    // Loads the colours from qvPath's colour file, draws the frame with its
    // texts, then creates the blocks (which draw their labels). Colour file
    // errors are raised before anything is drawn.
    tbrix_info(std::int32_t col, std::int32_t row, std::string_view title,
               std::string_view subtitle, bool autoUpdate, const std::string& qvPath);
    // Sets the console attribute back to 7; the frame stays on the screen.
    virtual ~tbrix_info();
    tbrix_info(const tbrix_info&) = delete;
    tbrix_info& operator=(const tbrix_info&) = delete;

    // The block of the POP3 fetch job.
    tbrix_sinf& Pop3Line() { return *pop3Line_; }
    // The block of the SMTP send job.
    tbrix_sinf& SmtpLine() { return *smtpLine_; }
    // News blocks 1 to 4; the news jobs use number 1. Raises ERangeError for
    // any other number.
    tbrix_ninf& NewsLines(int n);

    const std::string& Title() const { return title_; }
    const std::string& Subtitle() const { return subtitle_; }
    std::int32_t Col() const { return col_; }
    std::int32_t Row() const { return row_; }
    const StatusColors& Colors() const { return colors_; }
    bool AutoUpdate() const { return autoUpdate_; }

    void LoadColors();
    void DrawFrame() const;

  private:
    std::unique_ptr<tbrix_sinf> pop3Line_;
    std::unique_ptr<tbrix_sinf> smtpLine_;
    std::array<std::unique_ptr<tbrix_ninf>, 4> newsLines_;
    std::string title_;
    std::string subtitle_;
    std::int32_t col_, row_;
    StatusColors colors_ = kDefaultStatusColors;
    bool autoUpdate_;
    std::string qvPath_;
};

} // namespace brix
