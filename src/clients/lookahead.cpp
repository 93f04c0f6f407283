#include "clients/lookahead.h"

namespace brix {

TLookahead::TLookahead(TAbsClient& Client, std::size_t Items, TPlan Plan)
    : client_(Client), items_(Items), plan_(std::move(Plan)) {
    client_.OnSentInTurn = [this](const std::string& Cmd) {
        if (sent_ < planned_.size() && planned_[sent_] == Cmd) ++sent_;
    };
}

TLookahead::~TLookahead() {
    client_.OnSentInTurn = nullptr;
}

void TLookahead::Fill(std::size_t Item) {
    if (next_ < Item) {
        next_ = Item;
        sent_ = 0;
        planned_.clear();
    }
    while (next_ < items_) {
        planned_.clear();
        const bool complete = plan_(next_, planned_);
        for (; sent_ < planned_.size(); ++sent_)
            if (!client_.SendAhead(planned_[sent_])) return;
        if (!complete) return;
        ++next_;
        sent_ = 0;
        planned_.clear();
    }
}

} // namespace brix
