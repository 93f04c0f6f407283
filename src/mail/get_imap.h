#pragma once
// The IMAP mail fetch job: the messages of every IMAP account and folder of
// a box into the same spool files as the POP3 fetch, each message once,
// remembered by its folder's UIDVALIDITY and its UID.

#include "context/config.h"

namespace brix {

// Fetches from every server of IMAPSERVER in turn, each folder of its
// IMAPFOLDERS word in turn. Keep mode opens folders read-only (EXAMINE)
// and changes nothing; delete mode flags the messages stored (and those
// fetched by an earlier run, and the sender filter's) \Deleted and removes
// exactly them with UID EXPUNGE, once their spool files are on disk.
// Errors as GetMail's.
void GetImap(tbrixconfig& box, bool phoActive);

} // namespace brix
