#pragma once
// Data commands sent on an open, idle plain-FTP control connection by the
// layer itself, so that each takes two round trips where libcurl takes three
// or more: EPSV, then the data connection is opened and the command sent, an
// upload's bytes written at once (libcurl waits for STOR's opening reply
// first; servers keep bytes that arrive early in the data connection's buffer
// until they read it), and the replies read last. Paths are absolute, so no
// CWD, and no TYPE is sent: the caller keeps the connection's directory and
// transfer type as libcurl believes them.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace kestrum {

struct DirectChannel {
    int controlSocket = -1;  // connected, with no reply pending
    int replyTimeoutSeconds = 60;
    int stallSeconds = 60;  // a data connection that moves nothing for this long has stalled
    std::function<bool()> mustAbort;
    std::function<void(bool sent, const std::string& line)> record;  // every command and reply line
};

enum class DirectOutcome {
    Done,        // the server confirmed the transfer
    Refused,     // the server refused it; the connection stays usable
    NotOffered,  // EPSV refused, or its port unreachable: nothing else was sent, the connection stays usable
    Cut,         // cancelled; the connection must be dropped
    Broken,      // the connection broke, stalled or answered out of turn; it must be dropped
};

struct DirectResult {
    DirectOutcome outcome = DirectOutcome::Broken;
    int code = 0;              // the final reply's code, when one came
    std::string text;          // the server's last reply, or what broke
    bool commandSent = false;  // the data command went out
    bool localFailed = false;  // the local file could not be read or written; text says why
    std::string opening;       // the transfer's opening reply (150), when one came
    // Broken at its first command: the server had closed the connection
    // (after an idle time-out, say); nothing of the operation was done.
    bool closedBeforeStart = false;
};

// One command without data ("TYPE I"); Done on a 2xx reply.
DirectResult DirectCommand(const DirectChannel& channel, const std::string& command);
// RNFR from and RNTO to, sent together; Done when both were accepted, Refused
// (with the refusal's reply) otherwise.
DirectResult DirectRename(const DirectChannel& channel, const std::string& from, const std::string& to);
// Stores file (read from its current position to its end) at path.
DirectResult DirectStore(const DirectChannel& channel, const std::string& path, FILE* file);
// Takes the data as it arrives; false when the local side failed (errno says why).
using DirectSink = std::function<bool(const char* data, size_t size)>;
// Sends command ("RETR /path", "MLSD /dir") and hands its data to sink.
DirectResult DirectReceive(const DirectChannel& channel, const std::string& command, const DirectSink& sink);

}  // namespace kestrum
