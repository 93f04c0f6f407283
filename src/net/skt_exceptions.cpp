#include "net/skt_exceptions.h"

namespace brix {

std::string EsktException::ErrorText(std::string_view Msg, std::string_view Code) {
    std::string text(Msg);
    text += ". (Error=";
    text += Code;
    text += ')';
    return text;
}

} // namespace brix
