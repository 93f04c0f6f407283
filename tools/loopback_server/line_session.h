#pragma once
// One client connection of the loopback server: lines in, lines and
// dot-terminated bodies out, over the buffered socket the clients use. A
// read gives up when the server is told to stop, when the client closes, or
// after the session's time-out, so that one silent client cannot keep the
// server from ending.

#include "net/buf_tcp_client_socket.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace brix::loopback {

class LineSession {
  public:
    using Transcript = std::function<void(const std::string&)>;

    // Takes over the connected descriptor fd.
    LineSession(int fd, std::string protocol, const std::atomic<bool>& stop,
                std::chrono::seconds timeout, Transcript transcript);

    // The next line without CR LF; false when the client has closed, the
    // server stops or the time-out ran out.
    bool ReadLine(std::string& line);
    // Reads a dot-terminated block (RFC 5321 section 4.5.2, RFC 3977 section
    // 3.1.1) with the leading dot of stuffed lines removed. Lines beyond
    // maxBytes are read and dropped and `overflow` is set. False when the
    // connection ended before the "." line.
    bool ReadBlock(std::vector<std::string>& lines, std::size_t maxBytes, bool& overflow);
    void Send(std::string_view line);
    // Sends the lines dot-stuffed and the terminating ".", in one write.
    void SendBlock(const std::vector<std::string>& lines);
    // The time of the last line read or sent.
    std::chrono::steady_clock::time_point LastActivity() const { return last_; }

  private:
    void Note(char direction, std::string_view line);

    TBufTCPClientSocket socket_;
    std::string protocol_;
    const std::atomic<bool>& stop_;
    std::chrono::seconds timeout_;
    Transcript transcript_;
    std::chrono::steady_clock::time_point last_;
};

} // namespace brix::loopback
