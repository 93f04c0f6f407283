// libFuzzer target for the reply parsers: reply codes, the numbers of
// POP3 and NNTP replies, UIDL answers matched to message numbers, and a
// server's SASL challenges (SCRAM's first and final messages, the lists of
// offered methods). None may crash, and what they accept must hold what
// they claim.

#include "clients/abs_client.h"
#include "clients/sasl.h"
#include "message/msg.h"
#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines = brix::SplitLines(in);
    for (const std::string& line : lines) {
        std::int32_t code = brix::ReplyCodeOf(line);
        if (code != 0) {
            // Three digits at the start of the line, and nothing else counts.
            if (line.size() < 3) std::abort();
            for (int k = 0; k < 3; ++k)
                if (line[k] < '0' || line[k] > '9') std::abort();
            if (code != std::stoi(line.substr(0, 3))) std::abort();
        }
        std::int64_t values[3];
        for (int n = 1; n <= 3; ++n)
            (void)brix::ReplyNumbers(line, n, values);
    }
    // The lines as a UIDL answer.
    brix::tbrix_uid uids(std::vector<std::string>(lines.begin(), lines.end()));
    const std::int32_t count = static_cast<std::int32_t>(lines.size()) + 1;
    const bool covered = uids.CoversMessages(count);
    for (std::int32_t no = 0; no <= count; ++no) {
        std::string uid;
        bool found = uids.TryUidOf(no, uid);
        if (covered && no >= 1 && !found) std::abort();
    }
    // Each line as a server's challenge: a SCRAM exchange may only go on
    // with a nonce that continues ours, and never ends unproven.
    for (const std::string& line : lines) {
        auto scram = brix::MakeSaslMechanism("SCRAM-SHA-256", {"u", "p", "", ""}, "abc");
        try {
            std::optional<std::string> final = scram->Answer(line);
            if (!final || final->find(",r=abc") == std::string::npos) std::abort();
            (void)scram->Answer(line);
            if (scram->MayEnd() && line.find("v=") == std::string::npos) std::abort();
        } catch (const brix::ESasl&) {
        }
        (void)brix::OfferedMechanisms({line}, "AUTH");
    }
    return 0;
}
