#pragma once
// A proxy in front of a server: SOCKS5 (RFC 1928, with RFC 1929's user name
// and password) or an HTTP CONNECT tunnel (RFC 9110 section 9.3.6). Here are
// the value of a box's proxy key and the messages of both handshakes as
// pure functions; the socket does the sending and the waiting.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace brix {

enum class TProxyKind { None, Socks5, Http };

struct TProxy {
    TProxyKind Kind = TProxyKind::None;
    std::string Host;
    std::string Port;
    // Empty: the proxy is used without a login.
    std::string User;
    // Read when the connection is opened, never before.
    std::string Password;

    bool Used() const { return Kind != TProxyKind::None; }
    // "host:port" of the proxy itself.
    std::string Where() const;
    // "SOCKS5 proxy host:port" or "HTTP proxy host:port".
    std::string Name() const;
};

// "socks5://host:port", "socks5h://host:port" (the same: the proxy always
// resolves the server's name) or "http://host:port", with an optional
// "user@" before the host; an IPv6 proxy in brackets. False with what is
// wrong in problem (an unknown scheme, no port, a port that is no number).
bool ParseProxy(std::string_view value, TProxy& out, std::string& problem);

// The greeting: the one method we can use, login (X'02') when there is a
// user, else none (X'00').
std::string Socks5Greeting(bool login);
// RFC 1929's request; names and passwords longer than 255 bytes do not fit
// and raise nothing here: the caller checks Socks5LoginFits first.
bool Socks5LoginFits(const TProxy& proxy);
std::string Socks5Login(const std::string& user, const std::string& password);
// CONNECT to host and port (host byte order): an IPv4 or IPv6 literal as
// an address, any other text as a name the proxy resolves (ATYP 3).
std::string Socks5Request(const std::string& host, std::uint16_t port);
// Bytes of the bound address after the first four of a reply, for a fixed
// ATYP (1: 4, 4: 16); 0 for a name (its length byte comes first) and -1
// for an unknown type.
int Socks5AddressLength(std::uint8_t atyp);
// RFC 1928's name of a reply code ("Host unreachable").
std::string Socks5ReplyText(std::uint8_t code);

// The request head of an HTTP CONNECT tunnel, with Proxy-Authorization:
// Basic when there is a user.
std::string HttpConnectRequest(const std::string& host, const std::string& port,
                               const std::string& user, const std::string& password);
// Where the response head ends in bytes (just past its empty line), or
// npos while it has not ended. from: where to start looking, so that a
// head that comes in pieces is not searched again from its start.
std::size_t HttpHeadEnd(std::string_view bytes, std::size_t from = 0);
// The status line of a head (without its line end) and its code; -1 when
// the line is no HTTP status line.
int HttpStatus(std::string_view head, std::string& statusLine);

} // namespace brix
