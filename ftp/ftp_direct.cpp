#include "ftp/ftp_direct.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "ftp/ftp_paths.h"

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 100;  // how often a wait looks for a cancel
// More than any reply to these commands: a server sending more is not trusted.
constexpr size_t kLongestReply = 1 << 20;

struct Reply {
    int code = 0;
    std::string last;
};

class ControlReader {
  public:
    explicit ControlReader(const DirectChannel& channel) : channel_(channel) {}

    // Whether a whole reply is already buffered or arrives without waiting.
    bool Poll() {
        ReadAvailable();
        return CompleteReplyBuffered();
    }

    // The next reply; nothing when the connection broke, stalled or was cancelled
    // (then broken_ or cancelled_ says which).
    std::optional<Reply> Next() {
        const auto deadline = Clock::now() + std::chrono::seconds(channel_.replyTimeoutSeconds);
        for (;;) {
            if (auto reply = TakeReply()) {
                return reply;
            }
            if (broken_) {
                return std::nullopt;
            }
            if (channel_.mustAbort && channel_.mustAbort()) {
                cancelled_ = true;
                return std::nullopt;
            }
            if (Clock::now() >= deadline) {
                broken_ = true;
                why_ = "no reply from the server";
                return std::nullopt;
            }
            pollfd p{channel_.controlSocket, POLLIN, 0};
            if (poll(&p, 1, kSliceMs) > 0) {
                ReadAvailable();
            }
        }
    }

    bool HasLeftover() const { return !buffer_.empty(); }
    bool broken() const { return broken_; }
    bool closed() const { return closed_; }
    bool cancelled() const { return cancelled_; }
    const std::string& why() const { return why_; }

  private:
    void ReadAvailable() {
        char chunk[4096];
        for (;;) {
            ssize_t n = recv(channel_.controlSocket, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
                if (buffer_.size() > kLongestReply) {
                    broken_ = true;
                    why_ = "the server's reply is too long";
                    return;
                }
                continue;
            }
            if (n == 0) {
                broken_ = closed_ = true;
                why_ = "the server closed the control connection";
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                broken_ = true;
                closed_ = errno == ECONNRESET;
                why_ = std::strerror(errno);
            }
            return;
        }
    }

    bool CompleteReplyBuffered() {
        size_t pos = 0;
        int open = 0;
        for (;;) {
            size_t end = buffer_.find('\n', pos);
            if (end == std::string::npos) {
                return false;
            }
            std::string_view line(buffer_.data() + pos, end - pos);
            pos = end + 1;
            bool multi = false;
            int code = FtpReplyCode(line, &multi);
            if (open == 0 && code != 0 && !multi) {
                return true;
            }
            if (open == 0 && code != 0) {
                open = code;
            } else if (open != 0 && code == open && !multi) {
                return true;
            }
        }
    }

    std::optional<Reply> TakeReply() {
        if (!CompleteReplyBuffered()) {
            return std::nullopt;
        }
        Reply reply;
        int open = 0;
        for (;;) {
            size_t end = buffer_.find('\n');
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (channel_.record) {
                channel_.record(false, line);
            }
            bool multi = false;
            int code = FtpReplyCode(line, &multi);
            if ((open == 0 && code != 0 && !multi) || (open != 0 && code == open && !multi)) {
                reply.code = code;
                reply.last = line;
                return reply;
            }
            if (open == 0 && code != 0) {
                open = code;
            }
        }
    }

    const DirectChannel& channel_;
    std::string buffer_;
    bool broken_ = false;
    bool closed_ = false;  // by the server
    bool cancelled_ = false;
    std::string why_;
};

// 0 when sent, else the error (ETIMEDOUT when the connection stalled), why saying it.
int SendAll(const DirectChannel& channel, const std::string& text, std::string& why) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(channel.controlSocket, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            pollfd p{channel.controlSocket, POLLOUT, 0};
            if (poll(&p, 1, channel.replyTimeoutSeconds * 1000) <= 0) {
                why = "the control connection stalled";
                return ETIMEDOUT;
            }
            continue;
        }
        const int error = n < 0 ? errno : EPIPE;
        why = std::strerror(error);
        return error;
    }
    return 0;
}

// Sends one command line; 0, or the error of SendAll.
int SendCommand(const DirectChannel& channel, const std::string& command, std::string& why) {
    if (channel.record) {
        channel.record(true, command);
    }
    return SendAll(channel, command + "\r\n", why);
}

// The first command of an operation and its reply. A connection the server
// has closed meanwhile (no reply, a reset, or 421 "closing") is told apart.
std::optional<Reply> FirstExchange(const DirectChannel& channel, ControlReader& reader, const std::string& command,
                                   DirectResult& result) {
    std::string why;
    const int sendError = SendCommand(channel, command, why);
    const bool sent = sendError == 0;
    std::optional<Reply> reply;
    if (sent) {
        reply = reader.Next();
    }
    if (reply && reply->code == 421) {
        result.outcome = DirectOutcome::Broken;
        result.closedBeforeStart = true;
        result.text = reply->last;
        return std::nullopt;
    }
    if (!reply) {
        result.outcome = reader.cancelled() ? DirectOutcome::Cut : DirectOutcome::Broken;
        result.closedBeforeStart = !sent ? sendError == EPIPE || sendError == ECONNRESET : reader.closed();
        result.text = sent ? reader.why() : why;
    }
    return reply;
}

// A non-blocking connection to the control connection's peer at port.
int ConnectData(const DirectChannel& channel, int port, std::string& why, bool& cancelled) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(channel.controlSocket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (peer.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&peer)->sin_port = htons(static_cast<uint16_t>(port));
    } else if (peer.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port = htons(static_cast<uint16_t>(port));
    } else {
        why = "unknown address family";
        return -1;
    }
    int fd = socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), length) != 0 && errno != EINPROGRESS) {
        why = std::strerror(errno);
        close(fd);
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(channel.replyTimeoutSeconds);
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int ready = poll(&p, 1, kSliceMs);
        if (ready > 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == 0) {
                return fd;
            }
            why = std::strerror(error);
            break;
        }
        if (channel.mustAbort && channel.mustAbort()) {
            cancelled = true;
            break;
        }
        if (Clock::now() >= deadline) {
            why = "the data connection could not be opened";
            break;
        }
    }
    close(fd);
    return -1;
}

// Ends a data connection at once (a reset), so that the server does not take
// what it received as the whole file.
void ResetData(int fd) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// Sends EPSV and opens the data connection: its socket, or -1 with result
// saying why.
int OpenData(const DirectChannel& channel, ControlReader& reader, DirectResult& result) {
    std::optional<Reply> epsv = FirstExchange(channel, reader, "EPSV", result);
    if (!epsv) {
        return -1;
    }
    result.code = epsv->code;
    result.text = epsv->last;
    if (epsv->code / 100 != 2) {
        result.outcome = reader.HasLeftover() ? DirectOutcome::Broken : DirectOutcome::NotOffered;
        return -1;
    }
    std::optional<int> port = epsv->code == 229 ? EpsvPort(epsv->last) : std::nullopt;
    if (!port) {
        // A reply of another form: left to libcurl, which knows more of them.
        result.outcome = reader.HasLeftover() ? DirectOutcome::Broken : DirectOutcome::NotOffered;
        return -1;
    }
    bool cancelled = false;
    std::string why;
    int data = ConnectData(channel, *port, why, cancelled);
    if (data < 0) {
        // No command waits for the data connection: libcurl may take over
        // (it tries PASV where EPSV's port cannot be reached).
        result.outcome = cancelled ? DirectOutcome::Cut : DirectOutcome::NotOffered;
        result.text = why;
    }
    return data;
}

// OpenData, then the data command: the data connection's socket, or -1 with
// result saying why.
int StartTransfer(const DirectChannel& channel, ControlReader& reader, const std::string& command,
                  DirectResult& result) {
    const int data = OpenData(channel, reader, result);
    if (data < 0) {
        return -1;
    }
    std::string why;
    result.commandSent = true;
    if (SendCommand(channel, command, why) != 0) {
        ResetData(data);
        result.outcome = DirectOutcome::Broken;
        result.text = why;
        return -1;
    }
    return data;
}

// Reads the replies that end a transfer, early being one already read.
DirectResult Finish(ControlReader& reader, DirectResult result, std::optional<Reply> early, bool whole) {
    std::optional<Reply> reply = std::move(early);
    while (!reply || reply->code / 100 == 1) {
        if (reply) {
            result.opening = reply->last;
        }
        reply = reader.Next();
        if (!reply) {
            result.outcome = reader.cancelled() ? DirectOutcome::Cut : DirectOutcome::Broken;
            result.text = reader.why();
            return result;
        }
    }
    result.code = reply->code;
    if (!result.localFailed) {
        result.text = reply->last;
    }
    if (reader.HasLeftover()) {
        result.outcome = DirectOutcome::Broken;
    } else if (reply->code / 100 == 2 && whole) {
        result.outcome = DirectOutcome::Done;
    } else {
        result.outcome = DirectOutcome::Refused;
    }
    return result;
}

// What a wait on the data connection came to.
enum class Watch { Go, Refused, Stop };

// Between two steps on the data connection: a reply on the control
// connection other than an opening one ends the transfer (early holds it); a
// cancel or a stall ends it too.
Watch WatchControl(const DirectChannel& channel, ControlReader& reader, const pollfd& control,
                   std::optional<Reply>& early, Clock::time_point lastProgress, DirectResult& result) {
    if ((control.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && reader.Poll()) {
        early = reader.Next();
        if (early && early->code / 100 == 1) {
            result.opening = early->last;
            early.reset();
        } else {
            return Watch::Refused;
        }
    }
    if (reader.broken()) {
        return Watch::Refused;
    }
    if (channel.mustAbort && channel.mustAbort()) {
        result.outcome = DirectOutcome::Cut;
        return Watch::Stop;
    }
    if (Clock::now() - lastProgress > std::chrono::seconds(channel.stallSeconds)) {
        result.outcome = DirectOutcome::Broken;
        result.text = "the data connection stalled";
        return Watch::Stop;
    }
    return Watch::Go;
}

}  // namespace

DirectResult DirectCommand(const DirectChannel& channel, const std::string& command) {
    DirectResult result;
    ControlReader reader(channel);
    result.commandSent = true;
    std::optional<Reply> reply = FirstExchange(channel, reader, command, result);
    if (!reply) {
        return result;
    }
    result.code = reply->code;
    result.text = reply->last;
    result.outcome = reader.HasLeftover()     ? DirectOutcome::Broken
                     : reply->code / 100 == 2 ? DirectOutcome::Done
                                              : DirectOutcome::Refused;
    return result;
}

DirectResult DirectRename(const DirectChannel& channel, const std::string& from, const std::string& to) {
    DirectResult result;
    ControlReader reader(channel);
    result.commandSent = true;
    // Both lines in one write: after a refused RNFR the server refuses the
    // RNTO too (no rename pending), so nothing is renamed that should not be.
    if (channel.record) {
        channel.record(true, "RNFR " + from);
        channel.record(true, "RNTO " + to);
    }
    std::string why;
    const int sendError = SendAll(channel, "RNFR " + from + "\r\nRNTO " + to + "\r\n", why);
    std::optional<Reply> first = sendError == 0 ? reader.Next() : std::nullopt;
    std::optional<Reply> second = first && first->code != 421 ? reader.Next() : std::nullopt;
    const std::optional<Reply>& closing = first && first->code == 421 ? first : second;
    if (closing && closing->code == 421) {
        result.outcome = DirectOutcome::Broken;
        result.closedBeforeStart = &closing == &first;
        result.text = closing->last;
        return result;
    }
    if (!first || !second) {
        result.outcome = reader.cancelled() ? DirectOutcome::Cut : DirectOutcome::Broken;
        result.closedBeforeStart =
            !first && (sendError != 0 ? sendError == EPIPE || sendError == ECONNRESET : reader.closed());
        result.text = sendError != 0 ? why : reader.why();
        return result;
    }
    const Reply& decisive = first->code == 350 ? *second : *first;
    result.code = decisive.code;
    result.text = decisive.last;
    result.outcome = reader.HasLeftover()                            ? DirectOutcome::Broken
                     : first->code == 350 && second->code / 100 == 2 ? DirectOutcome::Done
                                                                     : DirectOutcome::Refused;
    return result;
}

DirectResult DirectStore(const DirectChannel& channel, const std::string& path, FILE* file) {
    DirectResult result;
    ControlReader reader(channel);
    const int data = StartTransfer(channel, reader, "STOR " + path, result);
    if (data < 0) {
        return result;
    }
    // The bytes go out while the control connection is watched: a refusal of
    // the STOR ends the sending at once.
    std::optional<Reply> early;
    std::vector<char> block(64 * 1024);
    size_t have = 0;
    size_t sent = 0;
    bool atEnd = false;
    bool dataClosed = false;
    auto lastProgress = Clock::now();
    while (!atEnd || sent < have) {
        if (sent == have) {
            have = std::fread(block.data(), 1, block.size(), file);
            sent = 0;
            if (have == 0) {
                if (std::ferror(file)) {
                    result.localFailed = true;
                    result.text = std::strerror(errno ? errno : EIO);
                }
                atEnd = true;
                continue;
            }
        }
        pollfd p[2] = {{data, POLLOUT, 0}, {channel.controlSocket, POLLIN, 0}};
        const int ready = poll(p, 2, kSliceMs);
        const Watch watch = WatchControl(channel, reader, p[1], early, lastProgress, result);
        if (watch == Watch::Stop) {
            ResetData(data);
            return result;
        }
        if (watch == Watch::Refused) {
            break;
        }
        if (ready > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            ssize_t n = send(data, block.data() + sent, have - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                lastProgress = Clock::now();
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                dataClosed = true;  // the server's reply says why
                break;
            }
        }
    }
    const bool whole = atEnd && sent == have && !dataClosed && !early && !result.localFailed;
    if (whole) {
        close(data);
    } else {
        ResetData(data);  // so that the server does not take a part as the whole file
    }
    return Finish(reader, result, std::move(early), whole);
}

DirectResult DirectReceive(const DirectChannel& channel, const std::string& command, const DirectSink& sink) {
    DirectResult result;
    ControlReader reader(channel);
    const int data = StartTransfer(channel, reader, command, result);
    if (data < 0) {
        return result;
    }
    std::optional<Reply> early;
    bool atEnd = false;
    auto lastProgress = Clock::now();
    std::vector<char> block(64 * 1024);
    while (!atEnd) {
        pollfd p[2] = {{data, POLLIN, 0}, {channel.controlSocket, POLLIN, 0}};
        const int ready = poll(p, 2, kSliceMs);
        if (ready > 0 && (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            ssize_t n = recv(data, block.data(), block.size(), MSG_DONTWAIT);
            if (n > 0) {
                lastProgress = Clock::now();
                if (!sink(block.data(), static_cast<size_t>(n))) {
                    result.localFailed = true;
                    result.text = std::strerror(errno ? errno : EIO);
                    break;
                }
            } else if (n == 0) {
                atEnd = true;
                break;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                break;
            }
        }
        // An opening reply may come before the data, a refusal instead of it.
        const Watch watch = WatchControl(channel, reader, p[1], early, lastProgress, result);
        if (watch == Watch::Stop) {
            ResetData(data);
            return result;
        }
        if (watch == Watch::Refused && (!early || early->code / 100 != 2)) {
            break;
        }
        if (watch == Watch::Refused) {
            // The completion may overtake the last bytes: they are read to the end.
            lastProgress = Clock::now();
        }
    }
    if (atEnd) {
        close(data);
    } else {
        ResetData(data);
    }
    return Finish(reader, result, std::move(early), atEnd);
}

}  // namespace kestrum
