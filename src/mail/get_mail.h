#pragma once
// The mail fetch job: the mail of every POP3 account of a box into spool
// files, each message once, remembered by its identifier.

#include "context/config.h"

namespace brix {

// Fetches from every server of POP3SERVER in turn. phoActive: the box names
// a sender filter file that exists; its senders' mail is passed over. Socket,
// client and abort errors end the job with a log line; anything else (a
// spool file that cannot be written, a state file that cannot be read or
// replaced) is passed on, after the state file has been written and the
// connection closed.
void GetMail(tbrixconfig& box, bool phoActive);

} // namespace brix
