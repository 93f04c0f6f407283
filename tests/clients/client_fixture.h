#pragma once
// Helpers for the protocol-client tests: a client of any class connected to
// the scripted server, with its log lines collected.

#include "clients/abs_client.h"
#include "net/net_fixture.h"
#include "testing/script_server.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace brix::testing {

template <class Client> struct Logged : Client {
    Logged() {
        this->OnLogLine = [this](const std::string& line) { log.push_back(line); };
        this->Socket->Timeout = 3000;
    }
    // Connects to the scripted server on 127.0.0.1.
    void Open(ScriptServer& server) {
        this->Service = server.PortText();
        this->Connect("127.0.0.1");
    }
    std::vector<std::string> log;
};

// The greeting, then for each pair the client's command and the reply.
inline Script Talk(const std::string& greeting,
                   const std::vector<std::pair<std::string, std::string>>& steps = {}) {
    Script script;
    script.Send(greeting);
    for (const auto& [command, reply] : steps)
        script.Expect(command).Send(reply);
    return script;
}

// Connects a Client to a server playing script, runs f on it, closes the
// connection without QUIT and checks that the client said exactly what the
// script expects. Returns every byte the client sent.
template <class Client, class F> std::string Dialogue(const Script& script, F f) {
    ScriptServer server(script);
    Logged<Client> client;
    client.Open(server);
    f(client);
    client.TAbsClient::Disconnect();
    EXPECT_TRUE(server.Passed()) << server.Report();
    return server.Received();
}

// A command of a client's table: its tag, the line it must send, the replies
// that accept it, and whether a body follows them.
template <class Client> struct Command {
    const char* tag;
    std::string line;
    std::vector<std::string> accepted;
    std::function<void(Client&, TStrings*)> run;
    bool body = false;
};

// Every command is sent exactly and accepted by each of its replies (with a
// body read unstuffed), and a refusal raises E with the command's tag and the
// server's line, reads no body and leaves the next reply to the next command.
// A greeting of the refusal's kind makes Connect raise alike.
template <class E, class Client>
void CheckCommands(const std::string& greeting, const std::vector<Command<Client>>& commands,
                   const std::string& refusal, const std::string& next) {
    for (const auto& cmd : commands) {
        for (const auto& reply : cmd.accepted) {
            Script script = Talk(greeting, {{cmd.line, reply}});
            if (cmd.body) script.SendLines({"..first", "second", "."});
            Dialogue<Client>(script, [&](auto& client) {
                TStrings lines;
                cmd.run(client, &lines);
                EXPECT_EQ(client.LastReply, reply) << cmd.line;
                EXPECT_EQ(client.log[1], "<" + cmd.line);
                EXPECT_EQ(lines, cmd.body ? TStrings({".first", "second"}) : TStrings());
            });
        }
        Script refused = Talk(greeting, {{cmd.line, refusal}, {"NOOP", next}});
        Dialogue<Client>(refused, [&](auto& client) {
            TStrings lines;
            EXPECT_EQ(RaisedMessage<E>([&] { cmd.run(client, &lines); }),
                      std::string(cmd.tag) + ". (Error=" + refusal + ")");
            EXPECT_TRUE(lines.empty()) << cmd.line;
            client.SendCommand("NOOP");
            EXPECT_EQ(client.LastReply, next) << cmd.line;
        });
    }
    ScriptServer server(Script().Send(refusal));
    Logged<Client> client;
    EXPECT_EQ(RaisedMessage<E>([&] { client.Open(server); }), "Connect. (Error=" + refusal + ")");
}

} // namespace brix::testing
