#pragma once
// Status blocks of the running jobs: one mail block per mail protocol and one
// news block. Each block remembers what it last drew and redraws only the
// fields whose values changed, so that a job may set its values as often as
// it likes without the console flickering.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace brix {

// Console attributes (background * 16 + foreground): 1. frame and labels,
// 2. values, 3. titles.
using StatusColors = std::array<std::uint8_t, 3>;

// Mail status block ("POP3" or "SMTP"): server, info, message and byte counts
// and a progress bar over three rows.
class tbrix_sinf {
  public:
    // Draws the labels at once.
    tbrix_sinf(std::int32_t col, std::int32_t row, std::string_view kind,
               const StatusColors& colors, bool autoUpdate);
    virtual ~tbrix_sinf() = default;
    tbrix_sinf(const tbrix_sinf&) = delete;
    tbrix_sinf& operator=(const tbrix_sinf&) = delete;

    // Labels, in colour 1.
    virtual void Draw();
    // Values that differ from what was drawn, in colour 2.
    virtual void Update();

    // Each setter stores its value and, with AutoUpdate, redraws at once.
    // Counters are 32-bit; larger or smaller arguments are saturated.
    void SetServer(std::string_view text);
    void SetInfo(std::string_view text);
    void SetMsgDone(std::int64_t value);
    void SetMsgTotal(std::int64_t value);
    void SetBytesDone(std::int64_t value);
    void SetBytesTotal(std::int64_t value);

    const std::string& Kind() const { return kind_; }
    const std::string& Server() const { return server_; }
    const std::string& ShownServer() const { return shownServer_; }
    const std::string& Info() const { return info_; }
    const std::string& ShownInfo() const { return shownInfo_; }
    std::int32_t Col() const { return col_; }
    std::int32_t Row() const { return row_; }
    std::int32_t MsgDone() const { return msgDone_; }
    std::int32_t ShownMsgDone() const { return shownMsgDone_; }
    std::int32_t MsgTotal() const { return msgTotal_; }
    std::int32_t ShownMsgTotal() const { return shownMsgTotal_; }
    // The jobs add the next message's size to this.
    std::int32_t BytesDone() const { return bytesDone_; }
    std::int32_t ShownBytesDone() const { return shownBytesDone_; }
    std::int32_t BytesTotal() const { return bytesTotal_; }
    std::int32_t ShownBytesTotal() const { return shownBytesTotal_; }
    // -1 until a byte total is known.
    std::int32_t Percent() const { return percent_; }
    std::int32_t ShownPercent() const { return shownPercent_; }
    const StatusColors& Colors() const { return colors_; }
    bool AutoUpdate() const { return autoUpdate_; }

  protected:
    struct NoDraw {};
    // For derived blocks, which draw their own labels once fully built.
    tbrix_sinf(std::int32_t col, std::int32_t row, std::string_view kind,
               const StatusColors& colors, bool autoUpdate, NoDraw);

    // Writes text at the block's offset (dx, dy) in colour index 0..2.
    void Put(int dx, int dy, std::string_view text, int color) const;
    // Redraws a text field when its cut value differs from the drawn one.
    void UpdateText(const std::string& value, std::string& shown, std::size_t width, int dx,
                    int dy) const;
    // "done/total Msgs" at (dx, dy) when either count changed.
    void UpdateMsgCounts(int dx, int dy);
    // Takes over both byte counts and recomputes the percentage; true when
    // either count changed.
    bool TakeByteCounts();

    std::string kind_;
    std::string shownServer_, server_;
    std::string shownInfo_, info_;
    std::int32_t col_, row_;
    std::int32_t shownMsgDone_ = 0, msgDone_ = 0;
    std::int32_t shownMsgTotal_ = 0, msgTotal_ = 0;
    std::int32_t shownBytesDone_ = 0, bytesDone_ = 0;
    std::int32_t shownBytesTotal_ = 0, bytesTotal_ = 0;
    std::int32_t shownPercent_ = -1, percent_ = -1;
    StatusColors colors_;
    bool autoUpdate_;
};

// News status block: server, group, info, counts and the transfer rate of the
// whole run.
class tbrix_ninf : public tbrix_sinf {
  public:
    // showsRate: whether this block draws the run's transfer rate 8 rows below
    // its first row. Only the block the news jobs use has room for it in the
    // frame's bottom border.
    tbrix_ninf(std::int32_t col, std::int32_t row, std::string_view kind,
               const StatusColors& colors, bool autoUpdate, bool showsRate = true);
    ~tbrix_ninf() override = default;

    void Draw() override;
    void Update() override;

    void SetGroup(std::string_view text);

    const std::string& Group() const { return group_; }
    const std::string& ShownGroup() const { return shownGroup_; }
    bool ShowsRate() const { return showsRate_; }

  private:
    std::string shownGroup_, group_;
    bool showsRate_;
};

// Transfer rate of the news jobs, measured from program start and shared by
// all news blocks.
// Records the program's start (seconds since 1970, local time) and resets the
// rate to 0.
void SetNewsStartTime(std::int64_t unixSeconds);
std::int64_t NewsStartTime();
// Seconds from the start to the last news update.
std::int32_t NewsElapsed();
// Bytes per second at the last news update.
double NewsRate();

} // namespace brix
