// libFuzzer target for what the news jobs read from files and servers: the
// group pointer lines of the ".rc" file, overview (XOVER) lines, the
// 267-byte records of "request.id" and the tail check of a batch file. None
// may crash; a bad line may raise one of the program's own errors.

#include "clients/nntp_client.h"
#include "news/batch.h"
#include "news/dupes.h"
#include "news/group_pointers.h"
#include "news/overview.h"
#include "news/request_file.h"
#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : brix::SplitLines(in)) {
        if (brix::IsGroupLine(line)) {
            try {
                brix::GroupLine g = brix::ParseGroupLine(line, "box.rc");
                // Only the pointer may change: the line read back is the same.
                brix::GroupLine again = brix::ParseGroupLine(brix::RebuildGroupLine(g), "box.rc");
                if (again.group != g.group || again.pointer != g.pointer ||
                    again.headerOnly != g.headerOnly)
                    std::abort();
            } catch (const brix::Exception&) {
            }
        }
        std::int64_t number = 0;
        if (brix::OverviewNumber(line, number) && number < 0) std::abort();
        brix::TStrings header;
        brix::OverviewToHeader(header, "de.test", line);
        if (header.size() != 9) std::abort();
    }
    for (std::size_t at = 0; at + brix::kRequestRecordSize <= size;
         at += brix::kRequestRecordSize) {
        brix::RequestRecord r = brix::ParseRequestRecord(in.substr(at, brix::kRequestRecordSize));
        if (r.box.size() > 8 || r.messageId.size() > 255) std::abort();
        std::string back = brix::FormatRequestRecord(r);
        if (back.size() != brix::kRequestRecordSize) std::abort();
        brix::RequestRecord again = brix::ParseRequestRecord(back);
        if (again.kind != r.kind || again.state != r.state || again.box != r.box ||
            again.messageId != r.messageId)
            std::abort();
    }
    if (brix::WholeEntriesLength(in) > size) std::abort();
    return 0;
}
