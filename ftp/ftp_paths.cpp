#include "ftp/ftp_paths.h"

#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <vector>

namespace kestrum {
namespace {

bool ValidHostName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (unsigned char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                  c == '_' || c >= 0x80;
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool ValidV6(std::string_view address) {
    if (address.empty()) {
        return false;
    }
    for (unsigned char c : address) {
        if (!std::isxdigit(c) && c != ':' && c != '.') {
            return false;
        }
    }
    return true;
}

std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

}  // namespace

// An absolute path without ".", ".." or empty segments: "/" or "/a/b"; ".."
// is folded here, so that no server folds it on its own terms.
std::string NormaliseServerPath(const std::string& base, const std::string& path) {
    std::vector<std::string_view> segments;
    auto split = [&segments](std::string_view text) {
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t end = text.find('/', pos);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            std::string_view segment = text.substr(pos, end - pos);
            if (segment == "..") {
                if (!segments.empty()) {
                    segments.pop_back();
                }
            } else if (!segment.empty() && segment != ".") {
                segments.push_back(segment);
            }
            pos = end + 1;
        }
    };
    if (path.empty() || path[0] != '/') {
        split(base);
    }
    split(path);
    std::string out;
    for (auto segment : segments) {
        out += '/';
        out += segment;
    }
    return out.empty() ? "/" : out;
}

std::string ServerParentOf(const std::string& absPath) {
    auto slash = absPath.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : absPath.substr(0, slash);
}

std::string ServerBaseNameOf(const std::string& absPath) {
    return absPath.substr(absPath.rfind('/') + 1);
}

// Whether "LIST name" names just that entry on common servers: no options
// ("-"), no pattern characters, no spaces, and not hidden (often unlisted).
bool SafeAsListArgument(std::string_view name) {
    if (name.empty() || name[0] == '-' || name[0] == '.') {
        return false;
    }
    return name.find_first_of(" \t*?[]{}~\\") == std::string_view::npos;
}

// "ddd " or "ddd": the last line of a reply. "ddd-" begins a multi-line reply.
int FtpReplyCode(std::string_view line, bool* multiLine) {
    if (line.size() < 3) {
        return 0;
    }
    for (int i = 0; i < 3; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return 0;
        }
    }
    if (line.size() > 3 && line[3] != ' ' && line[3] != '-') {
        return 0;
    }
    *multiLine = line.size() > 3 && line[3] == '-';
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

std::string Unbracketed(const std::string& host) {
    return host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address.
std::optional<FtpEndpoint> ParseFtpHost(const std::string& host) {
    FtpEndpoint endpoint;
    if (!host.empty() && host[0] == '[') {
        auto close = host.find(']');
        if (close == std::string::npos || !ValidV6(std::string_view(host).substr(1, close - 1))) {
            return std::nullopt;
        }
        endpoint.urlHost = host.substr(0, close + 1);
        std::string_view rest = std::string_view(host).substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                return std::nullopt;
            }
            auto port = ParsePort(rest.substr(1));
            if (!port) {
                return std::nullopt;
            }
            endpoint.port = *port;
        }
        return endpoint;
    }
    auto colons = std::count(host.begin(), host.end(), ':');
    if (colons > 1) {
        if (!ValidV6(host)) {
            return std::nullopt;
        }
        endpoint.urlHost = "[" + host + "]";
        return endpoint;
    }
    std::string_view name = host;
    if (colons == 1) {
        auto colon = host.find(':');
        auto port = ParsePort(std::string_view(host).substr(colon + 1));
        if (!port) {
            return std::nullopt;
        }
        endpoint.port = *port;
        name = name.substr(0, colon);
    }
    if (!ValidHostName(name)) {
        return std::nullopt;
    }
    endpoint.urlHost = std::string(name);
    // A name in any script becomes its ASCII form (IDNA2008 with the UTS #46
    // mapping), which the resolver, the TLS name check and SNI take.
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        char* ascii = nullptr;
        if (idn2_lookup_u8(reinterpret_cast<const uint8_t*>(endpoint.urlHost.c_str()),
                           reinterpret_cast<uint8_t**>(&ascii), IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK) {
            return std::nullopt;
        }
        endpoint.urlHost = ascii;
        idn2_free(ascii);
    }
    return endpoint;
}

bool IsSendablePath(std::string_view path) {
    constexpr size_t kMaxPathBytes = 4096;
    if (path.size() > kMaxPathBytes)
        return false;
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

// The last "(" of the reply, digits, then " bytes". Digits that would
// overflow are no size.
int64_t AnnouncedSize(std::string_view reply) {
    const size_t open = reply.rfind('(');
    if (open == std::string_view::npos) {
        return -1;
    }
    int64_t size = 0;
    size_t i = open + 1;
    const size_t digits = i;
    for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && size < INT64_MAX / 10; ++i) {
        size = size * 10 + (reply[i] - '0');
    }
    if (i == digits || reply.substr(i, 6) != " bytes") {
        return -1;
    }
    return size;
}

// The first "(", three equal delimiters, up to six digits, the delimiter again.
std::optional<int> EpsvPort(std::string_view reply) {
    const size_t open = reply.find('(');
    if (open == std::string_view::npos || open + 5 >= reply.size()) {
        return std::nullopt;
    }
    const char d = reply[open + 1];
    if (reply[open + 2] != d || reply[open + 3] != d) {
        return std::nullopt;
    }
    size_t i = open + 4;
    int port = 0;
    size_t digits = 0;
    for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && digits < 6; ++i, ++digits) {
        port = port * 10 + (reply[i] - '0');
    }
    if (digits == 0 || i >= reply.size() || reply[i] != d || port <= 0 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

}  // namespace kestrum
