#include "display/status_screen.h"

#include "platform/console.h"

#include <memory>

namespace brix {

namespace {

constexpr int kScreenCol = 3;
constexpr int kScreenRow = 4;
constexpr int kLastLine = 25;

tbrix_info* gScreen = nullptr;
std::unique_ptr<tbrix_info> gOwned;

} // namespace

tbrix_info* StatusScreen() {
    return gScreen;
}

void SetStatusScreen(tbrix_info* screen) {
    gScreen = screen;
}

tbrix_info& OpenStatusScreen(std::string_view title, std::string_view subtitle,
                             const std::string& qvPath) {
    CloseStatusScreen();
    gOwned = std::make_unique<tbrix_info>(kScreenCol, kScreenRow, title, subtitle, true, qvPath);
    gScreen = gOwned.get();
    return *gOwned;
}

void CloseStatusScreen() noexcept {
    // The reference goes first, so that nothing reaches a half-destroyed
    // window and the log routine knows the console is free again.
    gScreen = nullptr;
    if (!gOwned) return;
    gOwned.reset();
    try {
        WriteAt(1, kLastLine, "");
    } catch (...) {
        // The run is over; a console that fails now has nothing left to show.
    }
}

} // namespace brix
