// libFuzzer target for the box configuration reader: any bytes as a ".bfg"
// file. A bad value may raise one of the program's own errors (the reader's
// error, a conversion or range error), which the run reports; anything else
// (a crash, a sanitizer report, a foreign exception) is a finding.

#include "context/config.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    brix::tbrixconfig box;
    try {
        box.ReadText(text);
    } catch (const brix::Exception&) {
        return 0;
    }
    // The values read must be usable as the jobs use them.
    for (const std::string* t : {&box.POP3TIMEOUT, &box.SMTPTIMEOUT})
        if (brix::TimeoutMillis(*t) <= 0) std::abort();
    if (brix::TimeoutSeconds(box.POP3TIMEOUT) <= 0) std::abort();
    return 0;
}
