#pragma once
// A plain TCP connection as a ByteStream, and connecting one.

#include <memory>
#include <string>

#include "ftp/ftp_stream.h"

namespace kestrum {

// Owns a connected socket and makes it non-blocking. A peer that resets the
// connection is StreamError::Kind::Closed; writes never raise SIGPIPE.
class PlainStream : public ByteStream {
  public:
    explicit PlainStream(int socket);
    ~PlainStream() override;
    PlainStream(const PlainStream&) = delete;
    PlainStream& operator=(const PlainStream&) = delete;

    size_t ReadSome(char* buffer, size_t size, const Wait& wait) override;
    void WriteAll(const char* data, size_t size, const Wait& wait) override;
    bool Readable() override;
    void Close() override;
    int Socket() const override { return socket_; }
    // Gives the socket up to the caller (for TLS over it); the stream is closed then.
    int Release();

  private:
    int socket_;
};

// Connects to host (a name, an IPv4 or an IPv6 address) and port, trying each
// address the name resolves to in turn, each with an equal share of the time
// left. The name lookup itself cannot be cancelled. Throws StreamError.
std::unique_ptr<PlainStream> ConnectTcp(const std::string& host, int port, const Wait& wait);

}  // namespace kestrum
