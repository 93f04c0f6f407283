#pragma once
// The news fetch job: the new articles of every group in the box's group
// pointer file into "#! rnews" batches, then the articles the host reader
// asked for by Message-ID, over one connection.

#include "context/config.h"
#include "filter/scorefile.h"

#include <cstdint>

namespace brix {

// Range rule of one group: the stored pointer made to fit the group's last
// number and NNTPNEWMAX. Articles first .. last are fetched when fetch is
// set; otherwise the pointer becomes last.
struct NewsRange {
    std::int64_t pointer = 0; // first article to fetch is pointer + 1
    bool fetch = false;
};
NewsRange GroupRange(std::int64_t pointer, std::int64_t last, std::int64_t newMax, bool rescan);

// Whether the fetch asks for the groups after the one in hand before that
// one is done, where the server pipelines (on by default). Off, it treats
// one group at a time, as it does with a server that does not pipeline;
// the result is the same either way, which the tests compare.
bool& NewsGroupsAhead();

// phoActive: the box names a sender filter file that exists; articles of
// its senders are taken as header only. score: the box's loaded scorefile,
// or nullptr when scoring is off. Client, socket, job and abort errors end
// the job with a log line; the group pointers reached, the duplicate list and
// the batches are saved in every case. Anything else is passed on after that.
void GetNews(tbrixconfig& box, bool phoActive, tbrix_scorefile* score);

} // namespace brix
