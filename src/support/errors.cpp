#include "support/errors.h"

#include <cstdio>
#include <cstring>

namespace brix {

namespace {
const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}
} // namespace

std::string PlaceCode(const char* file, unsigned line) {
    // FNV-1a over "base:line": stable, and different places rarely collide.
    std::uint32_t h = 2166136261u;
    auto mix = [&h](unsigned char c) {
        h ^= c;
        h *= 16777619u;
    };
    for (const char* p = BaseName(file); *p; ++p)
        mix(static_cast<unsigned char>(*p));
    mix(':');
    for (char c : std::to_string(line))
        mix(static_cast<unsigned char>(c));
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", h);
    return buf;
}

Exception::Exception(std::string message, std::source_location where)
    : message_(std::move(message)), file_(where.file_name()), line_(where.line()) {}

std::string Exception::SourceFile() const {
    return BaseName(file_);
}

void ThrowInOutError(const std::string& path, int err, std::source_location where) {
    throw EInOutError("I/O error " + std::to_string(err) + ": " + path + ": " + std::strerror(err),
                      where);
}

void ThrowRangeError(std::source_location where) {
    throw ERangeError("Range check error", where);
}

} // namespace brix
