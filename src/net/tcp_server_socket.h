#pragma once
// A listening TCP socket. The program itself never listens; the class
// completes the socket tree for tools and tests.

#include "net/tcp_client_socket.h"

#include <memory>
#include <string>

namespace brix {

class TTCPServerSocket : public TTCPSocket {
  public:
    // Creates the socket and binds it to Port (service name or number) on
    // LocalAddress, a dotted IPv4 address; empty means every local address.
    explicit TTCPServerSocket(const std::string& PortText, const std::string& LocalAddress = "");

    void Listen();
    // Waits (at most Timeout) for an incoming connection.
    void WaitForConnect();
    // The next incoming connection; it belongs to the caller. PeerAddress
    // and HostName of this socket describe the peer.
    std::unique_ptr<TTCPClientSocket> AcceptConnection();

    // The port the socket is bound to (useful after binding port 0).
    int LocalPort();
};

} // namespace brix
