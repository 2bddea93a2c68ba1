#pragma once
// A user's record of what the FTP connections of a run said: every command
// and reply line of every control connection, one to a line of a text file,
//
//   2026-01-15 10:00:00.123 #2 > STOR /site/a.txt
//
// with the local time to the millisecond, the connection's number (1, 2, ...
// in the order connections are made), a marker (">" sent, "<" received, "!"
// received unasked and dropped, "*" a note of this program: connected, TLS,
// closed) and the line. The password of PASS is never written (the control
// channel masks it). Each line is written whole and flushed at once; any
// thread may write.

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

struct TraceEvent;

class ProtocolTrace {
  public:
    // Creates path (truncated when it exists); nothing, with the system's
    // reason in error, when it cannot be.
    static std::shared_ptr<ProtocolTrace> Create(const std::string& path, std::string& error);
    ~ProtocolTrace();
    ProtocolTrace(const ProtocolTrace&) = delete;
    ProtocolTrace& operator=(const ProtocolTrace&) = delete;

    // The number of a connection just made.
    int NewConnection();
    // A line of the control channel of connection.
    void Record(int connection, const TraceEvent& event);
    // A note of this program's about connection.
    void Note(int connection, std::string_view text);

  private:
    explicit ProtocolTrace(std::FILE* file) : file_(file) {}
    void Write(int connection, char marker, std::string_view text, std::chrono::system_clock::time_point when);

    std::mutex mutex_;
    std::FILE* file_;
    int connections_ = 0;
};

}  // namespace kestrum
