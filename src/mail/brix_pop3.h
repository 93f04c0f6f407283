#pragma once
// The mail fetch job's POP3 client: the library client with the service
// word of the account and a LIST for one message that reads its size.

#include "clients/pop3_client.h"

#include <cstdint>
#include <string>

namespace brix {

// The size in "+OK 2 320" (RFC 1939 section 5, scan listing): the second
// number after "+OK" and a blank. Text after the size is ignored, since the
// RFC lets servers add information there. False when the reply does not
// hold two numbers or the size is beyond 64 bits.
bool ParseScanListing(const std::string& reply, std::int64_t& size);

class tbrix_pop3 : public TPOP3Client {
  public:
    // Port is the POP3PORT word: a service name or a port number. An empty
    // word leaves the client without service, so that connecting fails.
    explicit tbrix_pop3(const std::string& Port);

    using TAbsPOP3Client::ListOneMsg;
    // "LIST n" and the size from its reply. A refusal or an unreadable reply
    // raises EAbsPOP3Client with the tag "ListOneMsg".
    void ListOneMsg(std::int32_t MsgNo, std::int64_t& Size);

    // The log-line callback: the protocol line goes to the box debug log
    // (and to the console in verbose mode).
    static void LogLine(const std::string& Line);
};

} // namespace brix
