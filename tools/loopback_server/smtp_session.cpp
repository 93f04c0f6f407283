#include "sessions.h"

#include "clients/base64.h"
#include "support/text.h"

namespace brix::loopback {

namespace {

constexpr std::size_t kMaxMessageBytes = 64u << 20;
constexpr std::size_t kMaxRecipients = 100;

// The address of "FROM:<a>" or "TO:<a>" (a blank after the colon and a
// missing pair of brackets are tolerated, as older clients send them);
// false when the keyword does not match.
bool PathOf(const std::string& arg, const std::string& keyword, std::string& address) {
    if (UpperAscii(arg.substr(0, keyword.size())) != keyword) return false;
    std::string rest = Trimmed(arg.substr(keyword.size()));
    if (!rest.empty() && rest[0] == '<') {
        auto close = rest.find('>');
        if (close == std::string::npos) return false;
        address = rest.substr(1, close - 1);
    } else {
        address = rest.substr(0, rest.find(' '));
    }
    return true;
}

} // namespace

void ServeSmtp(LineSession& s, Stores& stores) {
    s.Send("220 127.0.0.1 brix-loopback-server ESMTP ready");
    bool greeted = false;
    std::string authUser;
    std::string from;
    bool haveFrom = false;
    std::vector<std::string> to;
    std::string line, verb, arg;
    auto reset = [&] {
        haveFrom = false;
        from.clear();
        to.clear();
    };
    while (s.ReadLine(line)) {
        SplitCommand(line, verb, arg);
        if (verb == "QUIT") {
            s.Send("221 2.0.0 bye");
            return;
        } else if (verb == "HELO" || verb == "EHLO") {
            if (Trimmed(arg).empty()) {
                s.Send("501 5.5.4 " + verb + " needs a domain");
                continue;
            }
            greeted = true;
            reset();
            if (verb == "HELO") {
                s.Send("250 127.0.0.1");
            } else {
                s.Send("250-127.0.0.1 greets " + Trimmed(arg));
                s.Send("250-AUTH LOGIN");
                s.Send("250-8BITMIME");
                s.Send("250 HELP");
            }
        } else if (verb == "AUTH") {
            std::string mechanism, initial;
            SplitCommand(arg, mechanism, initial);
            if (!greeted || !authUser.empty() || haveFrom) {
                s.Send("503 5.5.1 AUTH not allowed now");
                continue;
            }
            if (mechanism != "LOGIN") {
                s.Send("504 5.5.4 only AUTH LOGIN is offered");
                continue;
            }
            std::string name64 = Trimmed(initial), pass64, name, password;
            if (name64.empty()) {
                s.Send("334 VXNlcm5hbWU6"); // "Username:"
                if (!s.ReadLine(name64)) return;
            }
            s.Send("334 UGFzc3dvcmQ6"); // "Password:"
            if (!s.ReadLine(pass64)) return;
            if (name64 == "*" || pass64 == "*") {
                s.Send("501 5.0.0 authentication cancelled");
            } else if (!Base64Decode(name64, name) || !Base64Decode(pass64, password)) {
                s.Send("501 5.5.2 cannot decode the answer");
            } else if (!stores.users.Check(name, password)) {
                s.Send("535 5.7.8 authentication failed");
            } else {
                authUser = name;
                s.Send("235 2.7.0 authentication succeeded");
            }
        } else if (verb == "MAIL") {
            if (!greeted) {
                s.Send("503 5.5.1 say HELO or EHLO first");
            } else if (haveFrom) {
                s.Send("503 5.5.1 sender already given");
            } else if (!PathOf(arg, "FROM:", from)) {
                s.Send("501 5.5.4 syntax: MAIL FROM:<address>");
            } else {
                haveFrom = true;
                s.Send("250 2.1.0 sender ok");
            }
        } else if (verb == "RCPT") {
            std::string address;
            if (!haveFrom) {
                s.Send("503 5.5.1 need MAIL first");
            } else if (!PathOf(arg, "TO:", address) || address.empty()) {
                s.Send("501 5.5.4 syntax: RCPT TO:<address>");
            } else if (to.size() >= kMaxRecipients) {
                s.Send("452 4.5.3 too many recipients");
            } else {
                to.push_back(address);
                s.Send("250 2.1.5 recipient ok");
            }
        } else if (verb == "DATA") {
            if (to.empty()) {
                s.Send("503 5.5.1 need RCPT first");
                continue;
            }
            s.Send("354 end the message with a line holding only \".\"");
            Lines message;
            bool overflow = false;
            if (!s.ReadBlock(message, kMaxMessageBytes, overflow)) return; // nothing stored
            if (overflow) {
                s.Send("552 5.3.4 message too big");
            } else {
                try {
                    s.Send("250 2.0.0 stored as sink/" + stores.sink.Store(from, to, message));
                } catch (const std::exception& e) {
                    s.Send(std::string("451 4.3.0 cannot store the message: ") + e.what());
                }
            }
            reset();
        } else if (verb == "RSET") {
            reset();
            s.Send("250 2.0.0 ok");
        } else if (verb == "NOOP") {
            s.Send("250 2.0.0 ok");
        } else if (verb == "VRFY") {
            s.Send("252 2.1.5 cannot verify, but will accept");
        } else if (verb == "HELP") {
            s.Send("214 2.0.0 HELO EHLO AUTH MAIL RCPT DATA RSET NOOP VRFY HELP QUIT");
        } else {
            s.Send("500 5.5.2 unknown command");
        }
    }
}

} // namespace brix::loopback
