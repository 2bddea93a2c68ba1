#pragma once
// A tunnel through an HTTP proxy: CONNECT host:port, then the connection
// carries the server's bytes both ways (a control connection, a data
// connection, TLS over either).

#include <cstdint>
#include <optional>
#include <string>

#include "ftp/ftp_stream.h"

namespace kestrum {

// fd: a connected non-blocking socket to the proxy. host: a name or address
// (an IPv6 address without brackets). Returns once the proxy answered 2xx,
// with nothing of the tunnel read: the socket's next byte is the server's.
// Throws StreamError: Failed with the proxy's status line when it refused (or
// its answer was not HTTP or too long), Closed when it hung up before
// answering in full, TimedOut or Cancelled as wait says.
void HttpConnectTunnel(int fd, const std::string& host, uint16_t port, const Wait& wait);

// A profile's proxy name, "host[:port]" with an optional "http://" before
// and "/" after; the host without brackets, port 1080 when none is given.
// nullopt when it is empty or cannot be read.
struct ProxyAddress {
    std::string host;
    int port = 1080;
};
std::optional<ProxyAddress> ParseProxyName(std::string name);

}  // namespace kestrum
