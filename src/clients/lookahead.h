#pragma once
// Keeps a client's pipeline full from what a job knows of its next commands.

#include "clients/abs_client.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace brix {

// One command of a plan: its text; the size its answer will have, when the
// job knows it (an article's bytes from the overview), else 0; and, for a command whose answer
// changes the session (POP3's DELE), the judge that reads and judges that answer in its turn.
struct TPlanned {
    std::string command;
    std::size_t answerBytes = 0;
    std::function<void()> judge = {};
};

// Items (messages, articles) are handled in order, each giving its commands
// in order. The plan says which commands an item will give, as far as they
// are known now, and whether that is all of them; an item whose next
// commands depend on an answer not yet read stops the lookahead after the
// ones it knows, and the job fills again once it knows more. The commands go
// out with SendAhead while the client's window has room, at each Fill and
// whenever an answer's turn comes (its bytes leave the window). The job's
// operations then read the answers of those without a judge in their turn
// (sending them themselves when the window had no room). A judged command
// is the lookahead's alone: when the window has no room for it, it goes in
// its turn all the same, at the first Fill that finds its item in hand and
// every command planned before it gone out; so a job fills again after
// sending the commands that come before one.
class TLookahead {
  public:
    using TPlan = std::function<bool(std::size_t Item, std::vector<TPlanned>& Commands)>;

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
    std::vector<TPlanned> planned_;
    std::size_t inHand_ = 0; // the item the job is at
};

} // namespace brix
