#pragma once
// Helpers for the socket and protocol-client tests: a client of any class
// connected to the scripted server, with its log lines collected.

#include "clients/abs_client.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace brix::testing {

// Runs f, which must raise E; returns its message ("" when it did not raise).
template <class E, class F> std::string RaisedMessage(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message();
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

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

} // namespace brix::testing
