#pragma once
// Helpers for the protocol-client tests: a client of any class connected to
// the scripted server, with its log lines collected.

#include "clients/abs_client.h"
#include "testing/script_server.h"

#include <gtest/gtest.h>
#include <string>
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

} // namespace brix::testing
