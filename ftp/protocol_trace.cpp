#include "ftp/protocol_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "ftp/ftp_control.h"

namespace kestrum {

std::shared_ptr<ProtocolTrace> ProtocolTrace::Create(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (file == nullptr) {
        error = std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    return std::shared_ptr<ProtocolTrace>(new ProtocolTrace(file));
}

ProtocolTrace::~ProtocolTrace() {
    std::fclose(file_);
}

int ProtocolTrace::NewConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ++connections_;
}

void ProtocolTrace::Record(int connection, const TraceEvent& event) {
    using Direction = TraceEvent::Direction;
    // The event's steady time, on the wall clock.
    const auto age = std::chrono::steady_clock::now() - event.time;
    const auto when =
        std::chrono::system_clock::now() - std::chrono::duration_cast<std::chrono::system_clock::duration>(age);
    const char marker = event.direction == Direction::Sent ? '>' : event.direction == Direction::Received ? '<' : '!';
    Write(connection, marker, event.line, when);
}

void ProtocolTrace::Note(int connection, std::string_view text) {
    Write(connection, '*', text, std::chrono::system_clock::now());
}

void ProtocolTrace::Write(int connection, char marker, std::string_view text,
                          std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const time_t seconds = system_clock::to_time_t(time_point_cast<system_clock::duration>(when));
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = std::string(stamp) + "." + std::to_string(1000 + millis).substr(1) + " #" +
                       std::to_string(connection) + " " + marker + " ";
    // A server's control characters would break the file's lines.
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        line += byte < 0x20 && byte != '\t' ? '?' : c;
    }
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

}  // namespace kestrum
