#pragma once
// A real server started by a test on 127.0.0.1: its own folder, a free
// port, and the processes it started, stopped by the destructor.

#include <string>
#include <sys/types.h>
#include <vector>

namespace brix::testing {

// A free TCP port on 127.0.0.1. With `listener`, the socket stays open and
// listening there; otherwise it is closed again (so only probably free).
int FreeLoopbackPort(int* listener = nullptr);
// A socket connected to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

class RealServer {
  public:
    explicit RealServer(const char* name);
    ~RealServer();
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

  protected:
    // Starts argv in the folder with `env` added and output to `output`,
    // and waits until `port` (0: Port()) accepts.
    std::string Launch(const std::vector<std::string>& argv, const std::string& output,
                       int port = 0, const std::vector<std::string>& env = {});
    std::string dir_;
    int port_ = 0;

  private:
    std::vector<pid_t> pids_;
};

std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

} // namespace brix::testing
