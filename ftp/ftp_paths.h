#pragma once
// Server paths, host texts and reply lines of the FTP layer: the pure parts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrum {

// path resolved against the absolute directory base: an absolute path without
// ".", ".." or empty segments ("/" or "/a/b"); ".." never climbs above "/".
std::string NormaliseServerPath(const std::string& base, const std::string& path);
// Of a normalised absolute path: the directory holding it ("/" for the root's
// children and the root itself) and its last segment.
std::string ServerParentOf(const std::string& absPath);
std::string ServerBaseNameOf(const std::string& absPath);

// Whether a server path can go in a command: no control byte and at most
// 4096 bytes.
bool IsSendablePath(std::string_view path);

// Whether "LIST name" names just that entry on common servers.
bool SafeAsListArgument(std::string_view name);

// The code of a reply line ("226 Done", "211-Features"), 0 when the line is
// no reply line; multiLine tells whether it opens a multi-line reply.
int FtpReplyCode(std::string_view line, bool* multiLine);
// The size a transfer's opening reply announces ("150 ... (1234 bytes)"); -1 when none.
int64_t AnnouncedSize(std::string_view reply);
// The port of an EPSV reply ("229 ... (|||port|)", any delimiter); nothing unless 1 to 65535.
std::optional<int> EpsvPort(std::string_view reply);

struct FtpEndpoint {
    std::string urlHost;  // "name" (ASCII, a name in another script as its IDNA form) or "[v6]"
    int port = 0;         // 0 when the text carries none
};

// A HOST text: "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6
// address. Nothing when it is none of these.
std::optional<FtpEndpoint> ParseFtpHost(const std::string& host);

// An endpoint's host as the resolver takes it: "[v6]" without its brackets.
std::string Unbracketed(const std::string& host);

}  // namespace kestrum
