#pragma once
// A real server started by a test on 127.0.0.1: its own folder, a free
// port, and the one process it started, stopped by the destructor.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

// A free TCP port on 127.0.0.1. With `listener`, the socket stays open and
// listening there; otherwise it is closed again (so only probably free).
int FreeLoopbackPort(int* listener = nullptr);

class RealServer {
  public:
    RealServer(const char* name);
    ~RealServer();
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

  protected:
    // Starts argv with output to `output` and waits until the port accepts.
    std::string Launch(const std::vector<std::string>& argv, const std::string& output);
    std::string dir_;
    int port_ = 0;

  private:
    pid_t pid_ = -1;
};

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

} // namespace brix::testing
