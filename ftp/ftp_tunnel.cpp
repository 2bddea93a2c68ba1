#include "ftp/ftp_tunnel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ftp/ftp_client.h"
#include "ftp/ftp_paths.h"
#include "ftp/ftp_shared.h"
#include "ftp/ftp_wait.h"

namespace kestrum {

namespace {

constexpr size_t kMaxAnswer = 16 * 1024;

[[noreturn]] void ThrowSystem(const char* what) {
    const bool closed = errno == EPIPE || errno == ECONNRESET;
    throw StreamError(closed ? StreamError::Kind::Closed : StreamError::Kind::Failed,
                      std::string(what) + ": " + std::strerror(errno));
}

void SendAll(int fd, const std::string& text, const Wait& wait) {
    for (size_t sent = 0; sent < text.size();) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            WaitForSocket(fd, POLLOUT, wait);
        else if (errno != EINTR)
            ThrowSystem("proxy");
    }
}

// The answer's header, up to and with its empty line; the bytes after it stay
// unread: they belong to the tunnel.
std::string ReadHeader(int fd, const Wait& wait) {
    std::string header;
    char buffer[kMaxAnswer];
    for (;;) {
        WaitForSocket(fd, POLLIN, wait);
        const ssize_t peeked = recv(fd, buffer, kMaxAnswer - header.size(), MSG_PEEK);
        if (peeked < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            ThrowSystem("proxy");
        }
        if (peeked == 0)
            throw StreamError(StreamError::Kind::Closed, "the proxy closed the connection before answering");
        const size_t from = header.size() < 3 ? 0 : header.size() - 3;
        header.append(buffer, static_cast<size_t>(peeked));
        const size_t end = header.find("\r\n\r\n", from);
        const size_t keep = end == std::string::npos ? header.size() : end + 4;
        const size_t take = keep - (header.size() - static_cast<size_t>(peeked));
        header.resize(keep);
        // Consumes exactly what was peeked of the header.
        if (recv(fd, buffer, take, 0) != static_cast<ssize_t>(take))
            ThrowSystem("proxy");
        if (end != std::string::npos)
            return header;
        if (header.size() >= kMaxAnswer)
            throw StreamError(StreamError::Kind::Failed, "the proxy's answer is longer than 16 KiB");
    }
}

}  // namespace

void HttpConnectTunnel(int fd, const std::string& host, uint16_t port, const Wait& wait) {
    const std::string authority =
        (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    SendAll(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n", wait);
    const std::string header = ReadHeader(fd, wait);
    std::string status = header.substr(0, header.find("\r\n"));
    // "HTTP/1.1 200 Connection established"
    const size_t space = status.find(' ');
    const bool http = status.rfind("HTTP/", 0) == 0 && space != std::string::npos;
    if (http && status.size() >= space + 4 && status[space + 1] == '2' &&
        std::all_of(status.begin() + space + 2, status.begin() + space + 4,
                    [](char c) { return c >= '0' && c <= '9'; }))
        return;
    // Quoted in the error: one line of printable text.
    status.resize(std::min<size_t>(status.size(), 200));
    std::replace_if(
        status.begin(), status.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    throw StreamError(StreamError::Kind::Failed,
                      http ? "the proxy answered: " + status : "the proxy's answer is not HTTP: " + status);
}

std::optional<ProxyAddress> ParseProxyName(std::string name) {
    if (StartsWithNoCase(name, "http://")) {
        name = name.substr(7);
    }
    if (!name.empty() && name.back() == '/') {
        name.pop_back();
    }
    const auto proxy = name.empty() || HasLineBreakOrNul(name) ? std::nullopt : ParseFtpHost(name);
    if (!proxy) {
        return std::nullopt;
    }
    ProxyAddress address;
    address.host = Unbracketed(proxy->urlHost);
    address.port = proxy->port != 0 ? proxy->port : 1080;
    return address;
}

}  // namespace kestrum
