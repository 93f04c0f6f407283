#include "context/settings.h"

namespace brix {

RunSettings& Settings() {
    static RunSettings settings;
    return settings;
}

const char* const kVersion = "0.4.2l";
const char* const kBannerLine1 = "Brix Win32 v0.4.2l Beta - Mail & News (Linux)";
const char* const kBannerLine2 = "POP3, SMTP und NNTP f\x81r den Offline-Reader";

} // namespace brix
