#include "sessions.h"

#include "clients/md5.h"
#include "support/text.h"

#include <ctime>
#include <memory>
#include <unistd.h>

namespace brix::loopback {

namespace {

// A message number of the mailbox that is not deleted, or null.
Mailbox::Message* Pick(Mailbox& box, const std::string& arg) {
    std::int64_t n = 0;
    if (arg.empty() || arg.size() > 9 || arg.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    n = std::stoll(arg);
    if (n < 1 || n > static_cast<std::int64_t>(box.Messages().size())) return nullptr;
    Mailbox::Message& m = box.Messages()[static_cast<std::size_t>(n - 1)];
    return m.deleted ? nullptr : &m;
}

} // namespace

void SplitCommand(const std::string& line, std::string& verb, std::string& rest) {
    auto blank = line.find(' ');
    verb = UpperAscii(line.substr(0, blank));
    rest = blank == std::string::npos ? "" : line.substr(blank + 1);
}

void ServePop3(LineSession& s, Stores& stores) {
    // RFC 1939 section 7: the timestamp must be unique per greeting.
    static unsigned serial = 0;
    std::string stamp = "<" + std::to_string(::getpid()) + "." + std::to_string(++serial) + "." +
                        std::to_string(std::time(nullptr)) + "@127.0.0.1>";
    s.Send("+OK brix-loopback-server POP3 ready " + stamp);

    std::unique_ptr<Mailbox> box; // set once logged in (TRANSACTION state)
    std::string user;
    std::string line, verb, arg;
    auto login = [&](const std::string& name) {
        box = std::make_unique<Mailbox>(stores.dir, name);
        s.Send("+OK " + name + " has " + std::to_string(box->Messages().size()) + " messages");
    };
    while (s.ReadLine(line)) {
        SplitCommand(line, verb, arg);
        if (verb == "QUIT") {
            if (box) box->Commit();
            s.Send("+OK bye");
            return;
        }
        if (!box) {
            if (verb == "USER" && !arg.empty()) {
                user = arg;
                s.Send("+OK send PASS");
            } else if (verb == "PASS" && !user.empty()) {
                if (stores.users.Check(user, arg))
                    login(user);
                else
                    s.Send("-ERR invalid user name or password");
            } else if (verb == "APOP") {
                auto blank = arg.rfind(' ');
                std::string name = arg.substr(0, blank);
                std::string digest = blank == std::string::npos ? "" : arg.substr(blank + 1);
                auto password = stores.users.Password(name);
                if (password &&
                    (stores.users.Open() || DigestToHex(MD5String(stamp + *password)) == digest))
                    login(name);
                else
                    s.Send("-ERR authentication failed");
            } else if (verb == "CAPA") {
                s.Send("+OK capabilities follow");
                s.SendBlock({"USER", "TOP", "UIDL"});
            } else {
                s.Send("-ERR log in first");
            }
            continue;
        }
        auto& messages = box->Messages();
        if (verb == "STAT") {
            std::int64_t count = 0, octets = 0;
            for (const auto& m : messages)
                if (!m.deleted) ++count, octets += m.octets;
            s.Send("+OK " + std::to_string(count) + " " + std::to_string(octets));
        } else if ((verb == "LIST" || verb == "UIDL") && arg.empty()) {
            Lines out;
            for (std::size_t i = 0; i < messages.size(); ++i)
                if (!messages[i].deleted)
                    out.push_back(
                        std::to_string(i + 1) + " " +
                        (verb == "LIST" ? std::to_string(messages[i].octets) : messages[i].uid));
            s.Send("+OK " + std::to_string(out.size()) + " messages");
            s.SendBlock(out);
        } else if (verb == "LIST" || verb == "UIDL" || verb == "RETR" || verb == "DELE" ||
                   verb == "TOP") {
            std::string number = arg.substr(0, arg.find(' '));
            Mailbox::Message* m = Pick(*box, number);
            if (!m) {
                s.Send("-ERR no such message");
            } else if (verb == "LIST") {
                s.Send("+OK " + number + " " + std::to_string(m->octets));
            } else if (verb == "UIDL") {
                s.Send("+OK " + number + " " + m->uid);
            } else if (verb == "DELE") {
                m->deleted = true;
                s.Send("+OK message " + number + " deleted");
            } else if (verb == "RETR") {
                s.Send("+OK " + std::to_string(m->octets) + " octets");
                s.SendBlock(box->Read(*m));
            } else {
                std::string count = arg.find(' ') == std::string::npos
                                        ? ""
                                        : Trimmed(arg.substr(arg.find(' ') + 1));
                if (count.empty() || count.size() > 9 ||
                    count.find_first_not_of("0123456789") != std::string::npos) {
                    s.Send("-ERR TOP needs a message number and a line count");
                    continue;
                }
                Lines lines = box->Read(*m);
                std::size_t keep = HeaderEnd(lines) + 1 + std::stoull(count);
                if (keep < lines.size()) lines.resize(keep);
                s.Send("+OK top of message follows");
                s.SendBlock(lines);
            }
        } else if (verb == "NOOP") {
            s.Send("+OK");
        } else if (verb == "RSET") {
            for (auto& m : messages)
                m.deleted = false;
            s.Send("+OK");
        } else {
            s.Send("-ERR unknown command");
        }
    }
    // A connection that ends without QUIT deletes nothing (RFC 1939 section 6).
}

} // namespace brix::loopback
