// libFuzzer target for the scorefile: the loader on arbitrary bytes, and the
// evaluation of arbitrary header lines against whatever loaded.
//
// Input: scorefile text, optionally followed by a NUL byte and header lines.
// The loader runs in its error-value form, so a bad file never ends the
// process here.

#include "filter/scorefile.h"
#include "platform/files.h"
#include "support/text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::size_t split = in.find('\0');
    std::string_view file = in.substr(0, split);
    std::string_view header =
        split == std::string_view::npos ? std::string_view() : in.substr(split + 1);

    brix::tbrix_scorefile sf;
    std::optional<brix::tscloaderror> err =
        sf.Parse(brix::SplitLines(file), brix::MakeDate(2001, 6, 15));
    if (err) {
        // The report must name a line of the input and a code of eight digits.
        if (err->code.size() != 8 || err->line < 1 || err->exitCode < 4 || err->exitCode > 11)
            std::abort();
        if (!sf.Sections().empty() || !sf.Actions().empty()) std::abort();
        return 0;
    }
    std::vector<std::string> lines = brix::SplitLines(header);
    if (lines.empty())
        lines = {"Newsgroups: de.test", "From: someone <a@b>", "Subject: hello", "Lines: 42"};
    brix::tscverdict v = sf.ScoreHeader(lines);
    // Evaluation is a function of its input: a second run must agree.
    brix::tscverdict again = sf.ScoreHeader(lines);
    if (v.score != again.score || v.action != again.action) std::abort();
    if (v.action != brix::tscnone && v.action != brix::tscskip && v.action != brix::tschdronly)
        std::abort();
    return 0;
}
