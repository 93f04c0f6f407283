#pragma once
// Errors of the socket and protocol-client library. Every message reads
// tag + ". (Error=" + detail + ")", where the detail is the socket layer's
// error number or a server's reply line, so that a job can log it as it is.

#include "support/errors.h"

#include <source_location>
#include <string>
#include <string_view>

namespace brix {

class EsktException : public Exception {
  public:
    using Exception::Exception;
    const char* ClassName() const noexcept override { return "EsktException"; }

    // The message text of CreateError: Msg + ". (Error=" + Code + ")".
    static std::string ErrorText(std::string_view Msg, std::string_view Code);

    static EsktException CreateError(std::string_view Msg, std::string_view Code,
                                     std::source_location where = std::source_location::current()) {
        return EsktException(ErrorText(Msg, Code), where);
    }
};

// A class of the library: derives directly from EsktException (the classes do
// not derive from one another) and brings its own CreateError, so that code
// reads `throw ETCPSocket::CreateError("Connect", "111")`.
#define BRIX_SKT_EXCEPTION_CLASS(Name)                                                             \
    class Name : public EsktException {                                                            \
      public:                                                                                      \
        using EsktException::EsktException;                                                        \
        const char* ClassName() const noexcept override { return #Name; }                          \
        static Name CreateError(std::string_view Msg, std::string_view Code,                       \
                                std::source_location where = std::source_location::current()) {    \
            return Name(ErrorText(Msg, Code), where);                                              \
        }                                                                                          \
        static Name CreateError(std::string_view Msg, int Code,                                    \
                                std::source_location where = std::source_location::current()) {    \
            return Name(ErrorText(Msg, std::to_string(Code)), where);                              \
        }                                                                                          \
    }

BRIX_SKT_EXCEPTION_CLASS(EAbsSocket);
BRIX_SKT_EXCEPTION_CLASS(ETCPSocket);
BRIX_SKT_EXCEPTION_CLASS(ETCPClientSocket);
BRIX_SKT_EXCEPTION_CLASS(EBufTCPClientSocket);
BRIX_SKT_EXCEPTION_CLASS(ETCPServerSocket);

} // namespace brix
