#pragma once
// The Message-ID request job: the articles named in "request.id", fetched
// over the news fetch job's connection into one batch marked with their kind.

#include "clients/nntp_client.h"
#include "message/idtext.h"
#include "news/batch.h"
#include "news/overview.h"
#include "news/request_file.h"

#include <cstdint>
#include <functional>
#include <string>

namespace brix {

class tbrix_ninf;

// What the request job shares with the fetch job that runs it.
struct NewsSession {
    TNNTPClient& client;
    IdSet& dupes;
    BatchWriter& batches;
    std::string spool; // NNTPSPOOL
    std::int64_t& totalReceived;
    tbrix_ninf* status; // nullptr in verbose mode
    // Raises when the disk cannot take an entry of this size together with
    // the state that records it.
    std::function<void(std::int64_t entryBytes)> requireRoom;
};

// Tries every record of this box (or "*") with a kind of 1 to 3 and a state
// below 199, in file order; a fetched article sets the state to 255, an
// article the server does not have (430) or a Message-ID that cannot be sent
// raises it by one. The new states are held in `requests` for the caller to
// commit once the batch is on disk. Any other refusal, a socket error or an
// abort ends the job with the states reached so far.
void GetRequestedArticles(NewsSession& session, RequestFile& requests);

} // namespace brix
