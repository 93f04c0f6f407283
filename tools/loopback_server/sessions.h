#pragma once
// The three dialogues of the loopback server, each played on one accepted
// connection until QUIT, the client's close or the server's stop.

#include "line_session.h"
#include "store.h"

#include <string>

namespace brix::loopback {

struct Stores {
    std::string dir; // the data directory, with "/" at the end
    Users users;
    Sink sink;
    NewsStore news;
    explicit Stores(const std::string& d) : dir(d), users(d), sink(d), news(d) {}
};

// RFC 1939: USER/PASS, APOP, STAT, LIST, UIDL, TOP, RETR, DELE, NOOP, RSET,
// QUIT.
void ServePop3(LineSession& s, Stores& stores);
// RFC 5321 with AUTH LOGIN (RFC 4954): HELO, EHLO, AUTH, MAIL, RCPT, DATA,
// RSET, NOOP, VRFY, HELP, QUIT; each message goes to the sink.
void ServeSmtp(LineSession& s, Stores& stores);
// RFC 3977 reader commands with the RFC 2980 names the client uses: MODE
// READER, CAPABILITIES, GROUP, LIST, NEWGROUPS, DATE, XOVER/OVER, HEAD,
// BODY, ARTICLE, STAT, POST, AUTHINFO USER/PASS, HELP, QUIT.
void ServeNntp(LineSession& s, Stores& stores);

// The command word in upper case and the rest of the line after one blank.
void SplitCommand(const std::string& line, std::string& verb, std::string& rest);

} // namespace brix::loopback
