#pragma once
// The mail fetch job's POP3 client: the library client with the service
// word of the account and a LIST for one message that reads its size.

#include "clients/pop3_client.h"

#include <cstdint>
#include <string>

namespace brix {

class tbrix_pop3 : public TPOP3Client {
  public:
    // Port is the POP3PORT word: a service name or a port number. An empty
    // word leaves the client without service, so that connecting fails.
    explicit tbrix_pop3(const std::string& Port);

    using TAbsPOP3Client::ListOneMsg;
    // "LIST n" and the size from its reply. A refusal or an unreadable reply
    // raises EAbsPOP3Client with the tag "ListOneMsg".
    void ListOneMsg(std::int32_t MsgNo, std::int64_t& Size);
};

} // namespace brix
