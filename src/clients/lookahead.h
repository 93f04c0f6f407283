#pragma once
// Keeps a client's pipeline full from what a job knows of its next commands.

#include "clients/abs_client.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace brix {

// Items (messages, articles) are handled in order, each giving its commands
// in order. The plan says which commands an item will give, as far as they
// are known now, and whether that is all of them; an item whose next
// commands depend on an answer not yet read stops the lookahead after the
// ones it knows, and the job fills again once it knows more. The commands go
// out with SendAhead while the client's window has room, and the job's
// operations then read their answers in their turn.
class TLookahead {
  public:
    using TPlan = std::function<bool(std::size_t Item, std::vector<std::string>& Commands)>;

    TLookahead(TAbsClient& Client, std::size_t Items, TPlan Plan);
    ~TLookahead();
    TLookahead(const TLookahead&) = delete;
    TLookahead& operator=(const TLookahead&) = delete;

    // Sends ahead what is known, from Item (the one in hand) on.
    void Fill(std::size_t Item);

  private:
    TAbsClient& client_;
    std::size_t items_;
    TPlan plan_;
    std::size_t next_ = 0; // the first item not wholly sent ahead
    std::size_t sent_ = 0; // its commands gone out so far
    // Its commands as last planned: one that the job sends itself when the
    // window was full is counted as gone out.
    std::vector<std::string> planned_;
};

} // namespace brix
