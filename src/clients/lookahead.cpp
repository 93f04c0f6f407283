#include "clients/lookahead.h"

namespace brix {

TLookahead::TLookahead(TAbsClient& Client, std::size_t Items, TPlan Plan)
    : client_(Client), items_(Items), plan_(std::move(Plan)) {
    client_.OnTurn = [this](const std::string& Cmd, bool Sent) {
        if (Sent && sent_ < planned_.size() && planned_[sent_].command == Cmd) ++sent_;
        // The answer now read leaves the window: the pipeline is kept full
        // while it is read, not only from one item to the next.
        if (client_.Pipelining() && client_.BytesInFlight() < client_.Window()) Fill(inHand_);
    };
}

TLookahead::~TLookahead() {
    client_.OnTurn = nullptr;
}

void TLookahead::Fill(std::size_t Item) {
    inHand_ = Item;
    if (next_ < Item) {
        next_ = Item;
        sent_ = 0;
        planned_.clear();
    }
    while (next_ < items_) {
        planned_.clear();
        const bool complete = plan_(next_, planned_);
        for (; sent_ < planned_.size(); ++sent_) {
            const TPlanned& c = planned_[sent_];
            if (client_.SendAhead(c.command, c.answerBytes, c.judge)) continue;
            if (!c.judge || next_ != inHand_) return;
            // Its turn has come: its item is in hand, and every command
            // planned before it has gone out.
            client_.SendLater(c.command, c.judge, c.answerBytes);
        }
        if (!complete) return;
        ++next_;
        sent_ = 0;
        planned_.clear();
    }
}

} // namespace brix
