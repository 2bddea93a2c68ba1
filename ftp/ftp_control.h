#pragma once
// The control connection of an FTP session: commands out, whole replies in,
// each reply given to the command that asked for it.
//
// Replies. A reply is one line "ddd text", or the lines from "ddd-..." up to
// the next line "ddd ..." with the same code (the lines between may be
// anything). Lines end with CRLF; a bare LF is tolerated. A first line
// without a code from 100 to 599, a line longer than 4096 bytes, or a reply
// of more than 1000 lines or 64 KiB is a protocol error.
//
// Attribution. The channel keeps the commands sent whose final reply has not
// come yet, oldest first; each reply read is the oldest one's. A 1xx keeps
// that command waiting for its final reply. Before a command is written while
// none waits, whatever the server already sent (the end of the stream too) is
// unsolicited: read whole, traced as such and dropped. After the last waiting
// command's reply, whole replies that came in the same read are dropped the
// same way, at once.
//
// Duplicates. A reply whose code the waiting command cannot get (a 226 while
// RNFR or EPSV waits, any 1xx but to a data command or the greeting) is taken
// for a stray duplicate: traced as unsolicited and dropped. An error reply
// (4xx, 5xx) fits every command, and so does a 2xx to a command without a
// fixed positive code (TYPE, CWD, DELE...): a stray duplicate of that form
// that arrives while such a command waits is taken for its reply. The real
// reply then arrives unsolicited and is dropped before the next command.
//
// 421. A 421 read at any point ends the session: as a command's reply, as an
// unsolicited reply (the command about to be sent is not sent), or right
// after a final reply in the same read (that reply is still returned; the
// next call throws). The end of the stream ends the session the same way.
//
// Errors. Every call waits only as its Wait allows: a passed deadline or a
// cancel throws the stream's StreamError (TimedOut, Cancelled) as it is, and
// so do the stream's own failures (Failed); the channel is then Broken. A
// session the server ended (a 421, the end of the stream, a StreamError of
// kind Closed) throws FtpSessionClosed (state Closed); a malformed or
// over-long reply throws FtpProtocolError (state Broken); the lines read of
// it are traced first. Once not Open, every call throws again. A command
// holding CR, LF or NUL is refused with std::invalid_argument before anything
// is done. One thread at a time uses a channel.

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_client.h"
#include "ftp/ftp_stream.h"

namespace kestrum {

struct Reply {
    int code = 0;
    std::vector<std::string> lines;  // as received, without their line ends

    std::string Text() const;  // the lines joined with "\n"
    bool Preliminary() const { return code / 100 == 1; }
    bool Completed() const { return code / 100 == 2; }
    bool Intermediate() const { return code / 100 == 3; }
};

struct TraceEvent {
    enum class Direction { Sent, Received, Unsolicited };
    Direction direction;
    std::string line;  // without its line end; a password masked
    std::chrono::steady_clock::time_point time;
};

// The server ended the session: a 421, or the end of the stream. A new login
// may retry.
class FtpSessionClosed : public FtpError {
  public:
    FtpSessionClosed(const std::string& text, Reply reply, bool commandNotSent)
        : FtpError(text), reply_(std::move(reply)), commandNotSent_(commandNotSent) {}
    const Reply& reply() const { return reply_; }  // the 421; code 0 when the stream ended
    // Found before the command was written: nothing of it reached the server.
    bool commandNotSent() const { return commandNotSent_; }

  private:
    Reply reply_;
    bool commandNotSent_;
};

// A reply of a bad form or over the limits; the session cannot go on.
class FtpProtocolError : public FtpError {
  public:
    using FtpError::FtpError;
};

class ControlChannel {
  public:
    enum class State { Open, Closed, Broken };
    using Trace = std::function<void(const TraceEvent&)>;

    explicit ControlChannel(ByteStream& stream, Trace trace = {});

    // The server's greeting (a 120 first is read past).
    Reply ReadGreeting(const Wait& wait);
    // Writes commands without reading their replies; several go out in one write.
    void Send(const std::string& command, const Wait& wait);
    void SendMany(const std::vector<std::string>& commands, const Wait& wait);
    // The next reply of the oldest waiting command (std::logic_error when none waits).
    Reply Read(const Wait& wait);
    // Send, then Read up to the final reply, for a command without a data
    // connection, when no other waits.
    Reply Command(const std::string& command, const Wait& wait);

    // Whether bytes of a reply are already read or can be read at once.
    bool ReplyArriving();

    State state() const { return state_; }
    size_t waiting() const { return waiting_.size(); }

  private:
    struct Received {
        Reply reply;
        std::vector<std::chrono::steady_clock::time_point> times;
    };

    std::optional<std::string> NextLine(const Wait* wait);
    std::optional<Received> NextReply(const Wait* wait);
    void DropUnsolicited(const Wait& wait);
    void DropBuffered();
    void Unsolicited(const Received& received);
    void Record(const Received& received, TraceEvent::Direction direction);
    FtpSessionClosed ClosedError(bool beforeSend) const;
    void EnsureOpen(bool beforeSend) const;
    void CheckWait(const Wait& wait);
    template <typename Operation>
    auto OnStream(Operation operation);
    [[noreturn]] void Refuse(const std::string& why, const std::string& cutLine = {});
    [[noreturn]] void Ended(const Reply& reply);

    ByteStream& stream_;
    Trace trace_;
    State state_ = State::Open;
    Reply closing_;       // what ended the session
    std::string buffer_;  // read, not yet a whole line
    Received partial_;    // the lines of a reply not whole yet
    size_t partialBytes_ = 0;
    std::deque<std::string> waiting_;  // verbs of the commands awaiting a final reply ("" the greeting)
};

}  // namespace kestrum
