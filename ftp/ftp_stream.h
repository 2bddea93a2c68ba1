#pragma once
// A byte stream to a server: a TCP connection (direct or through an HTTP
// proxy's tunnel), or TLS over one. Every wait polls in slices of at most
// 100 ms and asks its Wait whether the operation is still wanted, so that a
// cancel is seen at once in every wait.

#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>

namespace kestrum {

// How long an operation may wait, and whether it is still wanted.
struct Wait {
    std::chrono::steady_clock::time_point deadline;
    std::function<bool()> cancelled;  // empty: never cancelled

    static Wait For(std::chrono::milliseconds timeout, std::function<bool()> cancelled = {}) {
        return Wait{std::chrono::steady_clock::now() + timeout, std::move(cancelled)};
    }
};

class StreamError : public std::runtime_error {
  public:
    enum class Kind {
        TimedOut,   // the deadline passed
        Cancelled,  // Wait::cancelled said so
        Closed,     // the peer closed the connection (a write, or a read inside a TLS record)
        Failed,     // any other failure; what() says why (the system's or OpenSSL's reason)
    };
    StreamError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

class ByteStream {
  public:
    virtual ~ByteStream() = default;
    // Reads what is there, at least one byte, waiting for it as wait allows;
    // 0 when the peer closed the stream in order. Throws StreamError.
    virtual size_t ReadSome(char* buffer, size_t size, const Wait& wait) = 0;
    // Writes every byte, waiting as wait allows. Throws StreamError.
    virtual void WriteAll(const char* data, size_t size, const Wait& wait) = 0;
    // Whether a read would return at once (bytes, or the end of the stream).
    virtual bool Readable() = 0;
    // Ends the stream: TLS sends its close_notify first (not waited for long).
    // Closing twice is harmless.
    virtual void Close() = 0;
    // The underlying socket, -1 once closed.
    virtual int Socket() const = 0;
};

}  // namespace kestrum
