#include "display/status_lines.h"

#include "platform/clock.h"
#include "platform/console.h"
#include "support/text.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace brix {

namespace {

// Field widths and places of the mail block, relative to its corner.
constexpr int kValueCol = 6;
constexpr std::size_t kMailServerWidth = 61;
constexpr std::size_t kMailInfoWidth = 66;
constexpr int kKindCol = 68;
constexpr int kMsgWidth = 16;
constexpr int kBytesCol = 23;
constexpr int kBytesWidth = 13;
constexpr int kBarCol = 37;
constexpr int kBarClearWidth = 35;
constexpr int kBarWidth = 30;
// The news block is half as wide.
constexpr std::size_t kNewsTextWidth = 30;
constexpr int kRateRow = 8;
constexpr int kRateCol = 2;
constexpr int kRateWidth = 20;

std::int32_t Saturate32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// A console position; one that does not fit an int lies outside the window.
int Position(std::int32_t base, int offset) {
    std::int64_t p = static_cast<std::int64_t>(base) + offset;
    return p < 1 || p > std::numeric_limits<int>::max() ? 0 : static_cast<int>(p);
}

std::string Blanks(int n) {
    return std::string(static_cast<std::size_t>(n), ' ');
}

// A byte counter as shown: a counter driven below zero by a job's arithmetic
// shows as 0 instead of stopping the run with a range error.
std::string ShownSize(std::int32_t bytes) {
    return FormatSize(std::max<std::int32_t>(bytes, 0));
}

std::int64_t gStartTime = 0;
std::int32_t gNewsElapsed = 0;
double gNewsRate = 0.0;

} // namespace

void SetNewsStartTime(std::int64_t unixSeconds) {
    gStartTime = unixSeconds;
    gNewsElapsed = 0;
    gNewsRate = 0.0;
}
std::int64_t NewsStartTime() {
    return gStartTime;
}
std::int32_t NewsElapsed() {
    return gNewsElapsed;
}
double NewsRate() {
    return gNewsRate;
}

tbrix_sinf::tbrix_sinf(std::int32_t col, std::int32_t row, std::string_view kind,
                       const StatusColors& colors, bool autoUpdate)
    : tbrix_sinf(col, row, kind, colors, autoUpdate, NoDraw{}) {
    Draw();
}

tbrix_sinf::tbrix_sinf(std::int32_t col, std::int32_t row, std::string_view kind,
                       const StatusColors& colors, bool autoUpdate, NoDraw)
    : kind_(Cut(std::string(kind))), col_(col), row_(row), colors_(colors),
      autoUpdate_(autoUpdate) {}

void tbrix_sinf::Put(int dx, int dy, std::string_view text, int color) const {
    TheConsole().SetAttr(colors_[static_cast<std::size_t>(color)]);
    WriteAt(Position(col_, dx), Position(row_, dy), text);
}

void tbrix_sinf::Draw() {
    Put(0, 0, "Serv:", 0);
    Put(0, 1, "Info:", 0);
    if (kind_ == "POP3" || kind_ == "SMTP") {
        Put(0, 2, kind_ == "POP3" ? "Rcvd:" : "Sent:", 0);
        Put(kKindCol, 0, kind_, 0);
    }
}

void tbrix_sinf::UpdateText(const std::string& value, std::string& shown, std::size_t width, int dx,
                            int dy) const {
    std::string cut = Cut(value, width);
    if (cut == shown) return;
    shown = cut;
    Put(dx, dy, Blanks(static_cast<int>(width)), 1);
    Put(dx, dy, shown, 1);
}

void tbrix_sinf::UpdateMsgCounts(int dx, int dy) {
    if (msgDone_ == shownMsgDone_ && msgTotal_ == shownMsgTotal_) return;
    shownMsgDone_ = msgDone_;
    shownMsgTotal_ = msgTotal_;
    Put(dx, dy, Blanks(kMsgWidth), 1);
    Put(dx, dy, std::to_string(shownMsgDone_) + "/" + std::to_string(shownMsgTotal_) + " Msgs", 1);
}

bool tbrix_sinf::TakeByteCounts() {
    if (bytesDone_ == shownBytesDone_ && bytesTotal_ == shownBytesTotal_) return false;
    shownBytesDone_ = bytesDone_;
    shownBytesTotal_ = bytesTotal_;
    if (shownBytesTotal_ > 0) {
        // 64 bits: done * 100 overflows 32 bits from about 21 MB on. A done
        // count beyond the announced total still shows a full bar, no more.
        std::int64_t p = static_cast<std::int64_t>(shownBytesDone_) * 100 / shownBytesTotal_;
        percent_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(p, 0, 100));
    }
    return true;
}

void tbrix_sinf::Update() {
    UpdateText(server_, shownServer_, kMailServerWidth, kValueCol, 0);
    UpdateText(info_, shownInfo_, kMailInfoWidth, kValueCol, 1);
    UpdateMsgCounts(kValueCol, 2);
    if (TakeByteCounts()) {
        Put(kBytesCol, 2, Blanks(kBytesWidth), 1);
        Put(kBytesCol, 2,
            "(" + ShownSize(shownBytesDone_) + "/" + ShownSize(shownBytesTotal_) + ")", 1);
    }
    if (percent_ != shownPercent_) {
        shownPercent_ = percent_;
        Put(kBarCol, 2, Blanks(kBarClearWidth), 1);
        Put(kBarCol, 2,
            ProgressBar(shownPercent_, kBarWidth) + " " + std::to_string(shownPercent_) + "%", 1);
    }
}

void tbrix_sinf::SetServer(std::string_view text) {
    server_ = Cut(std::string(text));
    if (autoUpdate_) Update();
}

void tbrix_sinf::SetInfo(std::string_view text) {
    info_ = Cut(std::string(text));
    if (autoUpdate_) Update();
}

void tbrix_sinf::SetMsgDone(std::int64_t value) {
    msgDone_ = Saturate32(value);
    if (autoUpdate_) Update();
}

void tbrix_sinf::SetMsgTotal(std::int64_t value) {
    msgTotal_ = Saturate32(value);
    if (autoUpdate_) Update();
}

void tbrix_sinf::SetBytesDone(std::int64_t value) {
    bytesDone_ = Saturate32(value);
    if (autoUpdate_) Update();
}

void tbrix_sinf::SetBytesTotal(std::int64_t value) {
    bytesTotal_ = Saturate32(value);
    if (autoUpdate_) Update();
}

tbrix_ninf::tbrix_ninf(std::int32_t col, std::int32_t row, std::string_view kind,
                       const StatusColors& colors, bool autoUpdate, bool showsRate)
    : tbrix_sinf(col, row, kind, colors, autoUpdate, NoDraw{}), showsRate_(showsRate) {
    Draw();
}

void tbrix_ninf::Draw() {
    Put(0, 0, "Serv:", 0);
    Put(0, 1, "  NG:", 0);
    Put(0, 2, "Info:", 0);
    Put(0, 3, " S+R:", 0);
}

void tbrix_ninf::Update() {
    UpdateText(server_, shownServer_, kNewsTextWidth, kValueCol, 0);
    UpdateText(group_, shownGroup_, kNewsTextWidth, kValueCol, 1);
    UpdateText(info_, shownInfo_, kNewsTextWidth, kValueCol, 2);
    UpdateMsgCounts(kValueCol, 3);
    // The percentage is kept up to date but the news block has no bar.
    if (TakeByteCounts()) {
        Put(kBytesCol, 3, Blanks(kBytesWidth), 1);
        Put(kBytesCol, 3, "(" + ShownSize(shownBytesDone_) + ")", 1);
    }
    // The rate goes on changing while a job waits, so it is redrawn on every
    // call, changed values or not.
    gNewsElapsed = Saturate32(TheClock().UnixNow() - gStartTime);
    if (gNewsElapsed > 0) gNewsRate = static_cast<double>(shownBytesDone_) / gNewsElapsed;
    if (!showsRate_) return;
    Put(kRateCol, kRateRow, std::string(kRateWidth, '\xC4'), 0);
    Put(kRateCol, kRateRow, "[" + std::to_string(std::llround(gNewsRate)) + " cps]", 0);
}

void tbrix_ninf::SetGroup(std::string_view text) {
    group_ = Cut(std::string(text));
    if (autoUpdate_) Update();
}

} // namespace brix
