#pragma once
// Line lists of the mail and news jobs: one message (or header) as received,
// and the answer to UIDL.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brix {

// The lines of one message or header, without line ends; the clients fill
// Lines directly.
class tbrix_msg {
  public:
    tbrix_msg() = default;
    explicit tbrix_msg(std::vector<std::string> lines) : Lines(std::move(lines)) {}
    tbrix_msg(std::initializer_list<std::string> lines) : Lines(lines) {}

    std::vector<std::string> Lines;

    // Value of the first header line (before the first empty line) that
    // begins with name, compared without regard to ASCII case; name includes
    // the colon ("From:"). Blanks and tabs at both ends are removed; folded
    // continuation lines are not joined; "" when there is no such line. The
    // line is looked at as a short text (its first 255 characters).
    std::string HeaderValue(std::string_view name) const;
    // Index of the first empty line; 0 when there is none.
    std::int32_t HeaderEndIndex() const;
};

// The lines of a UIDL answer: message number, blank, unique identifier.
class tbrix_uid {
  public:
    tbrix_uid() = default;
    explicit tbrix_uid(std::vector<std::string> lines) : Lines(std::move(lines)) {}

    std::vector<std::string> Lines;

    // The identifier of message msgNo. Lines are matched by their message
    // number, not by their position, so a server that leaves out or reorders
    // messages cannot make one message pass for another. Raises EListError
    // when no line is for msgNo.
    std::string UidOf(std::int32_t msgNo) const;
    // The same without raising; false when no line names msgNo.
    bool TryUidOf(std::int32_t msgNo, std::string& uid) const;
    // Every message 1 .. count has a line with an identifier.
    bool CoversMessages(std::int32_t count) const;
    // The identifier of each message 1 .. count (at index msgNo - 1), in one
    // pass however the lines are ordered: "" where no line names the
    // message, and where its identifier names another message too (RFC 1939
    // section 7 makes it unique; a server that breaks that cannot tell
    // those messages apart by it). Duplicates counts the messages so left;
    // Listed, when given, gets every message's identifier as listed, the
    // shared ones included.
    std::vector<std::string> UniqueUids(std::int32_t count, std::int32_t& Duplicates,
                                        std::vector<std::string>* Listed = nullptr) const;
};

} // namespace brix
