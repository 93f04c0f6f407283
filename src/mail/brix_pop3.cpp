#include "mail/brix_pop3.h"

#include "context/log.h"

namespace brix {

bool ParseScanListing(const std::string& reply, std::int64_t& size) {
    size = 0;
    if (reply.compare(0, 3, "+OK") != 0 || reply.size() < 4 ||
        (reply[3] != ' ' && reply[3] != '\t'))
        return false;
    std::int64_t values[2];
    if (!ReplyNumbers(std::string_view(reply).substr(4), 2, values)) return false;
    size = values[1];
    return true;
}

tbrix_pop3::tbrix_pop3(const std::string& Port) {
    Service = Port;
}

void tbrix_pop3::ListOneMsg(std::int32_t MsgNo, std::int64_t& Size) {
    TAbsPOP3Client::ListOneMsg(MsgNo);
    Check<EAbsPOP3Client>(ParseScanListing(LastReply, Size), "ListOneMsg");
}

void tbrix_pop3::LogLine(const std::string& Line) {
    LogProtocolLine(Line);
}

} // namespace brix
