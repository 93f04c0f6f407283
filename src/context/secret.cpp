#include "context/secret.h"

#include "clients/abs_client.h"
#include "context/abort.h"
#include "context/log.h"
#include "context/settings.h"
#include "platform/command.h"

#include <set>

namespace brix {

namespace {
// A helper that has not answered by then will not: a browser login is done
// beforehand, and a password manager answers at once.
constexpr std::int32_t kCommandTimeout = 60'000;
} // namespace

std::string SecretOf(const SecretSource& source,
                     const std::function<void(const std::string&)>& note) {
    if (source.command.empty()) return source.password;
    const std::string line = std::string(source.key) + " runs for " + source.server;
    if (note)
        note(line);
    else
        WriteLog(line, 2);
    CommandLine got = FirstLineOf(
        source.command,
        {"BRIX_SERVER=" + source.server, "BRIX_PORT=" + source.port, "BRIX_USER=" + source.user},
        kCommandTimeout, [] { CheckUserAbort(); });
    if (!got.ok)
        throw ebrix_joberror(std::string(source.key) + " for " + source.server + ": " + got.error +
                             "; nothing was sent");
    return got.line;
}

void WatchForPlainText(const char* job, TAbsClient& client, const std::string& user) {
    // One line per job and server is enough to tell; more would bury it.
    static std::set<std::string> warned;
    const std::string jobName = job;
    client.OnSecret = [&client, jobName, user] {
        if (client.TlsMode != TTlsMode::None || client.Socket->PeerIsLoopback()) return;
        const std::string key = Settings().CurrentBox + " " + jobName + " " + client.Host;
        if (!warned.insert(key).second) return;
        WriteWarning("Warning (" + jobName + "): the password of " + user + " goes to " +
                     client.Host + " without TLS (set the TLS key of the server to protect it)");
    };
}

} // namespace brix
