#pragma once
// clang before 15 lacks the builtin behind libstdc++'s std::source_location,
// so <source_location> declares nothing there. The fuzz build force-includes
// this header to give such compilers the same interface from the older
// builtins; with a newer compiler it is empty.

#if defined(__clang__) && defined(__has_builtin)
#if !__has_builtin(__builtin_source_location)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location
    current(const char* file = __builtin_FILE(), const char* function = __builtin_FUNCTION(),
            std::uint_least32_t line = __builtin_LINE(),
            std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location s;
        s.file_ = file;
        s.function_ = function;
        s.line_ = line;
        s.column_ = column;
        return s;
    }
    constexpr source_location() noexcept = default;
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

  private:
    const char* file_ = "";
    const char* function_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};
} // namespace std
#endif
#endif
