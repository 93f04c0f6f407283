#include "net/tcp_server_socket.h"

#include "net/socket_api.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace brix {

TTCPServerSocket::TTCPServerSocket(const std::string& PortText, const std::string& LocalAddress) {
    LogLine("Creating master socket on port " + PortText);
    socket(AF_INET, SOCK_STREAM, LookupProtocol(ProtoName));
    if (WSAGetLastError() != 0) throw ETCPServerSocket::CreateError("Create", WSAGetLastError());
    LogLine("master socket: " + std::to_string(Handle));
    int on = 1;
    setsockopt(SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = ResolvePort(PortText);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!LocalAddress.empty() && inet_pton(AF_INET, LocalAddress.c_str(), &addr.sin_addr) != 1)
        throw ETCPServerSocket::CreateError("Create", EINVAL);
    LogLine("Binding socket");
    if (bind(reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || WSAGetLastError() != 0)
        throw ETCPServerSocket::CreateError("Create", WSAGetLastError());
}

void TTCPServerSocket::Listen() {
    LogLine("Putting socket on port " + std::to_string(Port) + " in listen state");
    if (listen(1) < 0) throw ETCPServerSocket::CreateError("Listen", WSAGetLastError());
}

void TTCPServerSocket::WaitForConnect() {
    int r = select(1, 0, 0, TimeoutMicros());
    if (r == 0) throw ETCPServerSocket::CreateError("WaitForConnect", ETIMEDOUT);
    if (r < 0) throw ETCPServerSocket::CreateError("WaitForConnect", WSAGetLastError());
}

std::unique_ptr<TTCPClientSocket> TTCPServerSocket::AcceptConnection() {
    LogLine("Accepting connection...");
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int fd = accept(reinterpret_cast<sockaddr*>(&peer), &len);
    if (fd == -1 || WSAGetLastError() != 0)
        throw ETCPServerSocket::CreateError("AcceptConnection", WSAGetLastError());
    auto client = std::make_unique<TTCPClientSocket>();
    client->Handle = fd;
    client->Timeout = Timeout;
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    PeerAddress = AddressText(reinterpret_cast<sockaddr*>(&peer));
    int err = 0;
    HostName = HostNameOf(reinterpret_cast<sockaddr*>(&peer), len, err);
    if (HostName.empty())
        LogLine("TTCPServerSocket.AcceptConnection: gethostbyaddr() failed; error code " +
                std::to_string(err));
    return client;
}

int TTCPServerSocket::LocalPort() {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(reinterpret_cast<sockaddr*>(&addr), &len) < 0) return -1;
    return ntohs(addr.sin_port);
}

} // namespace brix
