#pragma once
// Mailbox names as an IMAP server takes them (RFC 3501 section 5.1.3): the
// box names its folders in UTF-8, the server reads modified UTF-7. Pure.

#include <string>

namespace brix {

// The modified UTF-7 form of a UTF-8 name: printable US-ASCII as it is ("&"
// as "&-"), every run of other characters as "&", their UTF-16 in Base64
// with "," for "/" and no padding, and "-". The name is taken as valid
// UTF-8 (the box's keys are checked when read); a byte that is not is
// taken as U+FFFD rather than lost.
std::string ImapMailboxName(const std::string& utf8);

// An ASCII name as an IMAP quoted string: in double quotes, with "\"" and
// "\\" escaped.
std::string ImapQuoted(const std::string& s);

} // namespace brix
