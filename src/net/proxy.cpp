#include "net/proxy.h"

#include "net/socket_api.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>

namespace brix {

namespace {

const char* const kForms = "socks5://host:port, socks5h://host:port or http://host:port";

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Basic credentials (RFC 7617) need base64; the clients' coder sits in a
// layer above this one.
std::string Base64(std::string_view in) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kDigits[(v >> shift) & 63];
    }
    if (i < in.size()) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void AppendPort(std::string& out, std::uint16_t port) {
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xff);
}

} // namespace

std::string TProxy::Where() const {
    return HostPortText(Host, Port);
}

std::string TProxy::Name() const {
    return std::string(Kind == TProxyKind::Http ? "HTTP" : "SOCKS5") + " proxy " + Where();
}

bool ParseProxy(std::string_view value, TProxy& out, std::string& problem) {
    out = TProxy{};
    const std::size_t colon = value.find("://");
    if (colon == std::string_view::npos) {
        problem = std::string(value) + " names no kind of proxy: write " + kForms;
        return false;
    }
    const std::string scheme = Lower(value.substr(0, colon));
    if (scheme == "socks5" || scheme == "socks5h") {
        out.Kind = TProxyKind::Socks5;
    } else if (scheme == "http") {
        out.Kind = TProxyKind::Http;
    } else {
        problem = "unknown kind of proxy " + std::string(value.substr(0, colon)) + ":// (write " +
                  kForms + ")";
        return false;
    }
    std::string_view rest = value.substr(colon + 3);
    if (rest.ends_with('/')) rest.remove_suffix(1);
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        out.User = std::string(rest.substr(0, at));
        rest.remove_prefix(at + 1);
    }
    // An IPv6 proxy is written in brackets, so that its colons are not the
    // port's.
    const std::size_t hostEnd = rest.starts_with('[') ? rest.find(']') + 1 : 0;
    const std::size_t portColon = rest.find(':', hostEnd);
    if (portColon == std::string_view::npos || portColon + 1 == rest.size()) {
        problem = std::string(value) + " has no port (write " + kForms + ")";
        return false;
    }
    out.Host = std::string(rest.substr(0, portColon));
    if (out.Host.starts_with('[')) out.Host = BareHost(out.Host);
    out.Port = std::string(rest.substr(portColon + 1));
    if (out.Host.empty() || out.Host.find_first_of("/[] ") != std::string::npos) {
        problem = std::string(value) + " has no host name (write " + kForms + ")";
        return false;
    }
    unsigned long port = 0;
    const bool digits =
        out.Port.size() <= 5 &&
        std::all_of(out.Port.begin(), out.Port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) port = std::stoul(out.Port);
    if (!digits || port < 1 || port > 65535) {
        problem = out.Port + " is no port of the proxy (a number from 1 to 65535)";
        return false;
    }
    return true;
}

std::string Socks5Greeting(bool login) {
    return login ? std::string("\x05\x01\x02", 3) : std::string("\x05\x01\x00", 3);
}

bool Socks5LoginFits(const TProxy& proxy) {
    return proxy.User.size() <= 255 && proxy.Password.size() <= 255;
}

std::string Socks5Login(const std::string& user, const std::string& password) {
    std::string out = "\x01";
    out += static_cast<char>(user.size());
    out += user;
    out += static_cast<char>(password.size());
    out += password;
    return out;
}

std::string Socks5Request(const std::string& host, std::uint16_t port) {
    std::string out("\x05\x01\x00", 3);
    const std::string bare = BareHost(host);
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, bare.c_str(), &v4) == 1) {
        out += '\x01';
        out.append(reinterpret_cast<const char*>(&v4), 4);
    } else if (inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
        out += '\x04';
        out.append(reinterpret_cast<const char*>(&v6), 16);
    } else {
        // The name goes to the proxy as it is: Tor and any proxy that must
        // resolve for us need it, and nothing is asked of our resolver.
        out += '\x03';
        out += static_cast<char>(bare.size());
        out += bare;
    }
    AppendPort(out, port);
    return out;
}

int Socks5AddressLength(std::uint8_t atyp) {
    switch (atyp) {
    case 1:
        return 4;
    case 3:
        return 0;
    case 4:
        return 16;
    default:
        return -1;
    }
}

std::string Socks5ReplyText(std::uint8_t code) {
    static const char* const kNames[] = {"succeeded",
                                         "general SOCKS server failure",
                                         "connection not allowed by ruleset",
                                         "Network unreachable",
                                         "Host unreachable",
                                         "Connection refused",
                                         "TTL expired",
                                         "Command not supported",
                                         "Address type not supported"};
    if (code < std::size(kNames)) return kNames[code];
    return "unassigned reply " + std::to_string(code);
}

std::string HttpConnectRequest(const std::string& host, const std::string& port,
                               const std::string& user, const std::string& password) {
    const std::string target = HostPortText(host, port);
    std::string out = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (!user.empty())
        out += "Proxy-Authorization: Basic " + Base64(user + ":" + password) + "\r\n";
    return out + "\r\n";
}

std::size_t HttpHeadEnd(std::string_view bytes, std::size_t from) {
    // Lines end in CR LF; a bare LF is taken as well (RFC 9112 section 2.2).
    for (std::size_t lf = bytes.find('\n', from); lf != std::string_view::npos;
         lf = bytes.find('\n', lf + 1)) {
        if (lf + 1 < bytes.size() && bytes[lf + 1] == '\n') return lf + 2;
        if (lf + 2 < bytes.size() && bytes[lf + 1] == '\r' && bytes[lf + 2] == '\n') return lf + 3;
    }
    return std::string_view::npos;
}

int HttpStatus(std::string_view head, std::string& statusLine) {
    std::string_view line = head.substr(0, head.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    statusLine = std::string(line);
    // "HTTP/1.1 200 Connection established": the version, a blank, three
    // digits, then a blank or the end.
    if (!line.starts_with("HTTP/") || line.size() < 12) return -1;
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank + 4 > line.size()) return -1;
    int code = 0;
    for (std::size_t i = blank + 1; i < blank + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (blank + 4 < line.size() && line[blank + 4] != ' ') return -1;
    return code;
}

} // namespace brix
