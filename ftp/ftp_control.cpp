#include "ftp/ftp_control.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <stdexcept>
#include <string_view>

#include "ftp/ftp_paths.h"

namespace kestrum {

namespace {

using Clock = std::chrono::steady_clock;

// Beyond what any legitimate reply needs.
constexpr size_t kLongestLine = 4096;
constexpr size_t kMostLines = 1000;
constexpr size_t kLongestReply = 64 * 1024;

std::string VerbOf(const std::string& command) {
    std::string verb = command.substr(0, command.find(' '));
    std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return std::toupper(c); });
    return verb;
}

bool IsDataCommand(const std::string& verb) {
    for (const char* data : {"RETR", "STOR", "STOU", "APPE", "LIST", "NLST", "MLSD"}) {
        if (verb == data) {
            return true;
        }
    }
    return false;
}

// Whether code can answer the command verb ("" the greeting). Errors fit
// every command; a positive reply only the commands that can get it.
bool Plausible(const std::string& verb, int code) {
    if (code >= 400) {
        return true;
    }
    if (code < 200) {
        return verb.empty() ? code == 120 : IsDataCommand(verb);
    }
    static const std::map<std::string, std::vector<int>> kPositive = {
        {"", {220}},         {"USER", {230, 331, 332}}, {"PASS", {202, 230, 332}}, {"ACCT", {202, 230}},
        {"RNFR", {350}},     {"REST", {350}},           {"EPSV", {229}},           {"PASV", {227}},
        {"FEAT", {211}},     {"SIZE", {213}},           {"MDTM", {213}},           {"PWD", {257}},
        {"MKD", {250, 257}}, {"SYST", {215}},           {"AUTH", {234, 334}},      {"QUIT", {221}},
        {"MLST", {250}}};
    if (auto found = kPositive.find(verb); found != kPositive.end()) {
        return std::find(found->second.begin(), found->second.end(), code) != found->second.end();
    }
    return code < 300 || !IsDataCommand(verb);
}

}  // namespace

std::string Reply::Text() const {
    std::string text;
    for (const auto& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

ControlChannel::ControlChannel(ByteStream& stream, Trace trace) : stream_(stream), trace_(std::move(trace)) {}

// Runs a call on the stream: a stream the peer closed ends the session, any
// other failure breaks the channel.
template <typename Operation>
auto ControlChannel::OnStream(Operation operation) {
    try {
        return operation();
    } catch (const StreamError& error) {
        if (error.kind() == StreamError::Kind::Closed) {
            Ended({});
        }
        state_ = State::Broken;
        throw;
    }
}

Reply ControlChannel::ReadGreeting(const Wait& wait) {
    EnsureOpen(false);
    waiting_.push_back("");
    Reply reply;
    do {
        reply = Read(wait);
    } while (reply.Preliminary());
    return reply;
}

void ControlChannel::Send(const std::string& command, const Wait& wait) {
    SendMany({command}, wait);
}

void ControlChannel::SendMany(const std::vector<std::string>& commands, const Wait& wait) {
    std::string bytes;
    for (const auto& command : commands) {
        if (command.empty() || command.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
            throw std::invalid_argument("a command holds a line end or NUL");
        }
        bytes += command + "\r\n";
    }
    EnsureOpen(true);
    if (waiting_.empty()) {
        DropUnsolicited(wait);
    }
    for (const auto& command : commands) {
        if (trace_) {
            const bool password = VerbOf(command) == "PASS";
            trace_({TraceEvent::Direction::Sent, password ? "PASS ****" : command, Clock::now()});
        }
    }
    OnStream([&] { stream_.WriteAll(bytes.data(), bytes.size(), wait); });
    for (const auto& command : commands) {
        waiting_.push_back(VerbOf(command));
    }
}

Reply ControlChannel::Read(const Wait& wait) {
    EnsureOpen(false);
    if (waiting_.empty()) {
        throw std::logic_error("no command awaits a reply");
    }
    for (;;) {
        Received received = *NextReply(&wait);
        if (received.reply.code == 421) {
            Record(received, TraceEvent::Direction::Received);
            Ended(received.reply);
        }
        if (!Plausible(waiting_.front(), received.reply.code)) {
            Record(received, TraceEvent::Direction::Unsolicited);
            CheckWait(wait);
            continue;
        }
        Record(received, TraceEvent::Direction::Received);
        if (!received.reply.Preliminary()) {
            waiting_.pop_front();
            if (waiting_.empty()) {
                DropBuffered();
            }
        }
        return received.reply;
    }
}

bool ControlChannel::ReplyArriving() {
    return state_ == State::Open &&
           (!buffer_.empty() || !partial_.reply.lines.empty() || OnStream([&] { return stream_.Readable(); }));
}

Reply ControlChannel::Command(const std::string& command, const Wait& wait) {
    if (!waiting_.empty()) {
        throw std::logic_error("a command still awaits its reply");
    }
    Send(command, wait);
    Reply reply;
    do {
        reply = Read(wait);
    } while (reply.Preliminary());
    return reply;
}

std::optional<std::string> ControlChannel::NextLine(const Wait* wait) {
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            const size_t length = end > 0 && buffer_[end - 1] == '\r' ? end - 1 : end;
            if (length > kLongestLine) {
                Refuse("a reply line is too long", buffer_.substr(0, kLongestLine));
            }
            std::string line = buffer_.substr(0, length);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (buffer_.size() > kLongestLine + 1) {
            Refuse("a reply line is too long", buffer_.substr(0, kLongestLine));
        }
        if (wait == nullptr) {
            return std::nullopt;
        }
        char chunk[4096];
        const size_t got = OnStream([&] { return stream_.ReadSome(chunk, sizeof chunk, *wait); });
        if (got == 0) {
            Ended({});
        }
        buffer_.append(chunk, got);
    }
}

// The next whole reply; without a wait, only from what is buffered (a part
// stays in partial_ for the next call).
std::optional<ControlChannel::Received> ControlChannel::NextReply(const Wait* wait) {
    for (;;) {
        std::optional<std::string> line = NextLine(wait);
        if (!line) {
            return std::nullopt;
        }
        bool multiLine = false;
        const int code = FtpReplyCode(*line, &multiLine);
        auto& lines = partial_.reply.lines;
        partialBytes_ += line->size() + 2;
        partial_.times.push_back(Clock::now());
        lines.push_back(std::move(*line));
        if (lines.size() == 1) {
            if (code < 100 || code > 599) {
                Refuse("a reply without a valid code");
            }
            partial_.reply.code = code;
        }
        if (partialBytes_ > kLongestReply) {
            Refuse("a reply is too long");
        }
        if ((lines.size() == 1 || code == partial_.reply.code) && !multiLine) {
            Received whole = std::move(partial_);
            partial_ = {};
            partialBytes_ = 0;
            return whole;
        }
        if (lines.size() >= kMostLines) {
            Refuse("a reply has too many lines");
        }
    }
}

// Before a command is written: what the server sent meanwhile, whole. The end
// of the stream here means the command was not sent.
void ControlChannel::DropUnsolicited(const Wait& wait) {
    try {
        DropBuffered();
        while (state_ == State::Open && (!partial_.reply.lines.empty() || !buffer_.empty() || stream_.Readable())) {
            Unsolicited(*NextReply(&wait));
            if (state_ == State::Open) {
                CheckWait(wait);
            }
        }
        EnsureOpen(true);
    } catch (const FtpSessionClosed& closed) {
        throw FtpSessionClosed(closed.what(), closed.reply(), true);
    }
}

void ControlChannel::DropBuffered() {
    try {
        while (state_ == State::Open) {
            std::optional<Received> received = NextReply(nullptr);
            if (!received) {
                return;
            }
            Unsolicited(*received);
        }
    } catch (const FtpProtocolError&) {
        // The channel is Broken: the next call says so. The reply just read stands.
    }
}

void ControlChannel::Unsolicited(const Received& received) {
    Record(received, TraceEvent::Direction::Unsolicited);
    if (received.reply.code == 421) {
        state_ = State::Closed;
        closing_ = received.reply;
    }
}

void ControlChannel::Record(const Received& received, TraceEvent::Direction direction) {
    if (!trace_) {
        return;
    }
    for (size_t i = 0; i < received.reply.lines.size(); ++i) {
        trace_({direction, received.reply.lines[i], received.times[i]});
    }
}

FtpSessionClosed ControlChannel::ClosedError(bool beforeSend) const {
    const bool stream = closing_.code == 0;
    return FtpSessionClosed(stream ? "the server closed the control connection" : closing_.Text(), closing_,
                            beforeSend);
}

void ControlChannel::EnsureOpen(bool beforeSend) const {
    if (state_ == State::Closed) {
        throw ClosedError(beforeSend);
    }
    if (state_ == State::Broken) {
        throw FtpProtocolError("the control connection is unusable after an earlier failure");
    }
}

void ControlChannel::CheckWait(const Wait& wait) {
    if (wait.cancelled && wait.cancelled()) {
        state_ = State::Broken;
        throw StreamError(StreamError::Kind::Cancelled, "cancelled");
    }
    if (Clock::now() >= wait.deadline) {
        state_ = State::Broken;
        throw StreamError(StreamError::Kind::TimedOut, "no reply from the server in time");
    }
}

void ControlChannel::Refuse(const std::string& why, const std::string& cutLine) {
    Record(partial_, TraceEvent::Direction::Received);
    if (!cutLine.empty() && trace_) {
        trace_({TraceEvent::Direction::Received, cutLine, Clock::now()});
    }
    state_ = State::Broken;
    throw FtpProtocolError(why);
}

void ControlChannel::Ended(const Reply& reply) {
    Record(partial_, TraceEvent::Direction::Received);
    state_ = State::Closed;
    closing_ = reply;
    throw ClosedError(false);
}

}  // namespace kestrum
