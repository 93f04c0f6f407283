#pragma once
// The mail send job: replays the outgoing batches "m*.out" of each SMTP
// server's spool directory over one connection per server, and deletes each
// file once the server has accepted its message.

#include "clients/smtp_client.h"
#include "context/config.h"
#include "support/errors.h"

#include <string>

namespace brix {

// An outgoing file that cannot be sent as it is (a message without DATA or
// without its "." line, a command line that cannot be read), or whose
// accepted messages could not be taken out of it. The file stays for the
// next run.
BRIX_EXCEPTION_CLASS(ebrix_mailfile, ebrix_joberror);

// Sends the outgoing mail of every server in SMTPSERVER, each server in a
// session of its own. A file that cannot be sent as it is and a permanent
// refusal of one message are that file's error: it stays, and the queue goes
// on (after RSET for a refusal). Temporary refusals and socket errors end
// the server's session with the job's error line, and the next server is
// tried; the user abort ends the job. Other exceptions pass to the caller.
// A file leaves the spool once the server accepted all its messages; one the
// server took in part keeps only the messages it has not accepted.
void SendMail(tbrixconfig& box);

} // namespace brix
