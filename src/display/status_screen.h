#pragma once
// The one status window of a run, through which the jobs reach their status
// blocks. In verbose mode there is none and the reference stays empty, so a
// job tests StatusScreen() before each status call.

#include "display/status_window.h"

#include <string>
#include <string_view>

namespace brix {

// The program-wide reference; nullptr when no window is shown.
tbrix_info* StatusScreen();
// Sets the reference without taking ownership (nullptr empties it).
void SetStatusScreen(tbrix_info* screen);

// Creates the run's window (column 3, row 4, auto-update on, colours from
// qvPath's "qvdesk.col"), owns it and sets the reference to it. A window
// opened before is closed first. Colour file errors are raised and leave the
// reference empty.
tbrix_info& OpenStatusScreen(std::string_view title, std::string_view subtitle,
                             const std::string& qvPath);

// Empties the reference, destroys the window opened by OpenStatusScreen and
// moves the cursor to column 1 of line 25, below the frame, for the output
// that follows. Without an owned window it only empties the reference.
void CloseStatusScreen() noexcept;

// OpenStatusScreen for the lifetime of a scope, closed on every way out.
class StatusScreenScope {
  public:
    StatusScreenScope(std::string_view title, std::string_view subtitle,
                      const std::string& qvPath) {
        OpenStatusScreen(title, subtitle, qvPath);
    }
    ~StatusScreenScope() { CloseStatusScreen(); }
    StatusScreenScope(const StatusScreenScope&) = delete;
    StatusScreenScope& operator=(const StatusScreenScope&) = delete;
};

} // namespace brix
