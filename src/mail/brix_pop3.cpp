#include "mail/brix_pop3.h"

#include "context/log.h"

namespace brix {

tbrix_pop3::tbrix_pop3(const std::string& Port) {
    Service = Port;
}

void tbrix_pop3::ListOneMsg(std::int32_t MsgNo, std::int64_t& Size) {
    TAbsPOP3Client::ListOneMsg(MsgNo);
    Check<EAbsPOP3Client>(ParseScanListing(LastReply, Size), "ListOneMsg");
}

} // namespace brix
