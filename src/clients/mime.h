#pragma once
// MIME content types (RFC 2046) by file extension, for the attachments of a
// composed message.

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brix {

struct TMimeType {
    std::string Type;
    // File extensions without their dot, separated by blanks; may be empty.
    std::string Extensions;
};

class TMimeMgr {
  public:
    TMimeMgr();

    // The table, sorted by type.
    const std::vector<TMimeType>& Types() const { return types_; }
    // The type of a file by the extension of its base name, in any letter
    // case; "application/octet-stream" when it has none or an unknown one.
    const std::string& TypeOf(std::string_view FileName) const;

  private:
    std::vector<TMimeType> types_;
    std::unordered_map<std::string, std::size_t> byExtension_;
};

} // namespace brix
