#pragma once
// Passwords and access tokens of the servers: from the box file, or from a
// command (the PASSCMD keys) for each server; and the warning when one is
// about to leave in plain text.

#include <functional>
#include <string>

namespace brix {

class TAbsClient;

// Where one server's secret comes from.
struct SecretSource {
    const char* key;      // "POP3PASSCMD", for the error line
    std::string command;  // the key's command; empty: Password is the secret
    std::string password; // the password word of the box file
    std::string server;
    std::string port;
    std::string user;
};

// The secret: the first line the command prints (BRIX_SERVER, BRIX_PORT and
// BRIX_USER in its environment, 60 s at most, the user abort heard), or the
// password word. A command that fails raises ebrix_joberror naming the key,
// before anything is sent to the server.
// Note takes the log line that says the command runs (WriteLog level 2
// when not given): a connection opened ahead of its turn keeps it for then.
std::string SecretOf(const SecretSource& source,
                     const std::function<void(const std::string&)>& note = {});

// Has client call for WarnOfPlainText(job, ...) before it sends a password
// or token itself (not for CRAM-MD5 or SCRAM, which keep it home).
void WatchForPlainText(const char* job, TAbsClient& client, const std::string& user);

} // namespace brix
