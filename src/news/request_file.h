#pragma once
// The request file "request.id" of the host reader's directory: articles it
// wants by Message-ID, one 267-byte record each, with the state of the
// attempts.

#include "platform/durable.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brix {

constexpr const char* kRequestFileName = "request.id";

// One record of "request.id": 267 bytes.
constexpr std::size_t kRequestRecordSize = 267;
struct RequestRecord {
    std::uint8_t kind = 0;  // 1, 2: by Message-ID; 3: own article again
    std::uint8_t state = 0; // failed attempts; 199..254 given up; 255 done
    std::string box;        // up to 8 characters; "*" for every box
    std::string messageId;  // up to 255 characters
};
// Length bytes larger than their fields are clamped to the field.
RequestRecord ParseRequestRecord(std::string_view bytes);
// Spare bytes of the string fields are zero; longer strings are cut.
std::string FormatRequestRecord(const RequestRecord& record);
// Appends one record (for the post job's requests).
void AppendRequestRecord(const std::string& path, const RequestRecord& record);

// The request file opened for reading records and rewriting their states in
// place. Only whole records count; a torn last record is ignored. New states
// are held until Commit, so that the caller writes them after the batch
// that holds their articles is on disk.
class RequestFile {
  public:
    // Raises EInOutError when the file cannot be opened for reading and
    // writing.
    explicit RequestFile(const std::string& path);

    std::int64_t Count() const { return count_; }
    RequestRecord Read(std::int64_t index) const;
    // Holds a new state for the record until Commit.
    void SetState(std::int64_t index, std::uint8_t state);
    // Writes the held states in place and flushes the file. Raises
    // EInOutError.
    void Commit();

  private:
    InPlaceFile file_;
    std::int64_t count_ = 0;
    std::vector<std::pair<std::int64_t, std::uint8_t>> held_;
};

} // namespace brix
