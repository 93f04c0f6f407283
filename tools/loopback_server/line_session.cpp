#include "line_session.h"

#include "net/skt_exceptions.h"

namespace brix::loopback {

namespace {
// How often a waiting read looks at the stop flag.
constexpr std::int32_t kSliceMicros = 200'000;
} // namespace

LineSession::LineSession(int fd, std::string protocol, const std::atomic<bool>& stop,
                         std::chrono::seconds timeout, Transcript transcript)
    : protocol_(std::move(protocol)), stop_(stop), timeout_(timeout),
      transcript_(std::move(transcript)), last_(std::chrono::steady_clock::now()) {
    socket_.Handle = fd;
    socket_.Timeout = static_cast<std::int32_t>(timeout.count() * 1000);
}

void LineSession::Note(char direction, std::string_view line) {
    last_ = std::chrono::steady_clock::now();
    if (transcript_) transcript_(protocol_ + " " + direction + " " + std::string(line));
}

bool LineSession::ReadLine(std::string& line) {
    auto until = std::chrono::steady_clock::now() + timeout_;
    try {
        while (socket_.WaitForDataTime(kSliceMicros) == 0) {
            if (stop_ || std::chrono::steady_clock::now() >= until) return false;
        }
        if (stop_) return false;
        socket_.ReadLn(line);
        if (line.empty() && !socket_.LastLineEnded()) return false; // closed
    } catch (const EsktException&) {
        return false;
    }
    Note('<', line);
    return true;
}

bool LineSession::ReadBlock(std::vector<std::string>& lines, std::size_t maxBytes, bool& overflow) {
    lines.clear();
    overflow = false;
    std::size_t bytes = 0;
    std::string line;
    for (;;) {
        auto until = std::chrono::steady_clock::now() + timeout_;
        try {
            while (socket_.WaitForDataTime(kSliceMicros) == 0)
                if (stop_ || std::chrono::steady_clock::now() >= until) return false;
            socket_.ReadLn(line);
        } catch (const EsktException&) {
            return false;
        }
        if (!socket_.LastLineEnded()) return false; // cut off before its "."
        last_ = std::chrono::steady_clock::now();
        if (line == ".") return true;
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        bytes += line.size() + 2;
        if (bytes > maxBytes) {
            overflow = true;
            lines.clear();
            continue;
        }
        if (!overflow) lines.push_back(std::move(line));
    }
}

void LineSession::Send(std::string_view line) {
    Note('>', line);
    try {
        socket_.WriteLn(line);
    } catch (const EsktException&) {
        // The client has gone; its next read ends the session.
    }
}

void LineSession::SendBlock(const std::vector<std::string>& lines) {
    try {
        for (const auto& l : lines) {
            if (!l.empty() && l[0] == '.')
                socket_.QueueLn("." + l);
            else
                socket_.QueueLn(l);
        }
        socket_.WriteLn(".");
    } catch (const EsktException&) {
    }
    last_ = std::chrono::steady_clock::now();
}

} // namespace brix::loopback
