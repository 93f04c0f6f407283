#include "news/request_file.h"

#include "platform/durable.h"
#include "platform/files.h"
#include "support/errors.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace brix {

namespace {

std::string ShortField(std::string_view bytes, std::size_t size) {
    std::size_t length = static_cast<unsigned char>(bytes[0]);
    return std::string(bytes.substr(1, std::min(length, size - 1)));
}

void PutField(std::string& out, std::size_t offset, std::size_t size, const std::string& value) {
    std::size_t length = std::min(value.size(), size - 1);
    out[offset] = static_cast<char>(length);
    out.replace(offset + 1, length, value, 0, length);
}

} // namespace

RequestRecord ParseRequestRecord(std::string_view bytes) {
    RequestRecord r;
    if (bytes.size() < kRequestRecordSize) return r;
    r.kind = static_cast<std::uint8_t>(bytes[0]);
    r.state = static_cast<std::uint8_t>(bytes[1]);
    r.box = ShortField(bytes.substr(2, 9), 9);
    r.messageId = ShortField(bytes.substr(11, 256), 256);
    return r;
}

std::string FormatRequestRecord(const RequestRecord& record) {
    std::string out(kRequestRecordSize, '\0');
    out[0] = static_cast<char>(record.kind);
    out[1] = static_cast<char>(record.state);
    PutField(out, 2, 9, record.box);
    PutField(out, 11, 256, record.messageId);
    return out;
}

void AppendRequestRecord(const std::string& path, const RequestRecord& record) {
    std::string real = ResolveName(path);
    // A torn record left by a crash would shift every later record.
    struct stat st {};
    if (::stat(real.c_str(), &st) == 0 && st.st_size % kRequestRecordSize != 0)
        if (::truncate(real.c_str(), st.st_size - st.st_size % kRequestRecordSize) != 0)
            ThrowInOutError(real, errno);
    AppendWhole(real, FormatRequestRecord(record));
}

RequestFile::RequestFile(const std::string& path)
    : file_(ResolveName(path)),
      count_(file_.Size() / static_cast<std::int64_t>(kRequestRecordSize)) {}

RequestRecord RequestFile::Read(std::int64_t index) const {
    std::string bytes(kRequestRecordSize, '\0');
    file_.ReadAt(index * static_cast<std::int64_t>(kRequestRecordSize), bytes);
    return ParseRequestRecord(bytes);
}

void RequestFile::SetState(std::int64_t index, std::uint8_t state) {
    held_.emplace_back(index, state);
}

void RequestFile::Commit() {
    if (held_.empty()) return;
    // The state byte follows the kind byte of its record.
    for (const auto& [index, state] : held_)
        file_.WriteAt(index * static_cast<std::int64_t>(kRequestRecordSize) + 1,
                      std::string_view(reinterpret_cast<const char*>(&state), 1));
    held_.clear();
    file_.Sync();
}

} // namespace brix
