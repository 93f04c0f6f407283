#pragma once
// Exception root of the whole program. Every exception our code raises knows
// the source place it was raised from, so that the run's last-resort report
// can name an address code and a "File: " line.

#include <exception>
#include <source_location>
#include <string>

namespace brix {

// An eight-digit upper-case hexadecimal code for a place in the sources.
// It is derived from the file's base name and the line only, so it stays the
// same across builds, machines and runs.
std::string PlaceCode(const char* file, unsigned line);

// CallSiteCode of the design: the code of the caller's own place.
inline std::string CallSiteCode(std::source_location where = std::source_location::current()) {
    return PlaceCode(where.file_name(), where.line());
}

class Exception : public std::exception {
  public:
    explicit Exception(std::string message,
                       std::source_location where = std::source_location::current());
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    // The design's class name, used by the exception report.
    virtual const char* ClassName() const noexcept { return "Exception"; }
    // Base name of the source file the exception was raised in.
    std::string SourceFile() const;
    unsigned SourceLine() const noexcept { return line_; }
    std::string AddressCode() const { return PlaceCode(file_, line_); }

  private:
    std::string message_;
    const char* file_;
    unsigned line_;
};

// Declares an exception class that adds nothing but its name.
#define BRIX_EXCEPTION_CLASS(Name, Base)                                                           \
    class Name : public Base {                                                                     \
      public:                                                                                      \
        using Base::Base;                                                                          \
        const char* ClassName() const noexcept override { return #Name; }                          \
    }

// The runtime's error classes that the design relies on.
BRIX_EXCEPTION_CLASS(EConvertError, Exception);
BRIX_EXCEPTION_CLASS(ERangeError, Exception);
BRIX_EXCEPTION_CLASS(EInOutError, Exception);
BRIX_EXCEPTION_CLASS(EStringListError, Exception);
BRIX_EXCEPTION_CLASS(EListError, Exception);

// Errors that end one job, not the run (besides the client and socket errors
// and the user abort): the job logs them as its error and the run goes on.
BRIX_EXCEPTION_CLASS(ebrix_joberror, Exception);

// A disk that cannot take the next message together with the state that
// records it: the job stops taking messages while its state can be saved.
BRIX_EXCEPTION_CLASS(ebrix_diskfull, ebrix_joberror);

// Raises EInOutError for a failed file operation with the system's reason.
[[noreturn]] void ThrowInOutError(const std::string& path, int err,
                                  std::source_location where = std::source_location::current());

// Raises ERangeError with the runtime's text "Range check error".
[[noreturn]] void ThrowRangeError(std::source_location where = std::source_location::current());

} // namespace brix
