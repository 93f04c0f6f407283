#pragma once
// The mail send job: replays the outgoing batches "m*.out" of each SMTP
// server's spool directory over one connection per server, and deletes each
// file once the server has accepted its message.

#include "clients/smtp_client.h"
#include "context/config.h"
#include "support/errors.h"

#include <string>

namespace brix {

// The job's SMTP client: the library's client with the port word of the box.
class tbrix_smtp : public TAbsSMTPClient {
  public:
    explicit tbrix_smtp(const std::string& service) { Service = service; }
};

// An outgoing file that ends before its message was handed over whole (no
// DATA, or no "." line after it). The file stays for the next run; the
// connection, possibly stuck inside DATA, cannot be used any further.
BRIX_EXCEPTION_CLASS(ebrix_mailfile, ebrix_joberror);

// Sends the outgoing mail of every server in SMTPSERVER. A permanent
// refusal of one message keeps its file and the queue goes on after RSET;
// temporary refusals, socket errors, unfinished files and the user abort are
// logged as the job's error and end it; other exceptions pass to the caller.
// Files that were not accepted stay in the spool.
void SendMail(tbrixconfig& box);

} // namespace brix
