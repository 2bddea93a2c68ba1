#include "cache/sync_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "cache/file_io.h"
#include "res/codepage.h"

namespace kestrum {

namespace {

constexpr std::string_view kHeader = "kestrum-cache-state 1";
constexpr std::string_view kStateSuffix = ".kestrum-cache-state";
constexpr char kHex[] = "0123456789abcdef";
constexpr char kUpperHex[] = "0123456789ABCDEF";

// The length of the well-formed UTF-8 sequence of two to four bytes at s[i]
// (no overlong form, no surrogate, nothing past U+10FFFF); 0 when there is none.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > s.size())
        return 0;
    const auto second = static_cast<unsigned char>(s[i + 1]);
    if (second < low || second > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

void AppendHexByte(std::string& out, unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

// A field of the file: nothing in it can end a line or a field.
std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            AppendHexByte(out, c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8SequenceLength(s, i); length > 0) {
            out.append(s.substr(i, length));
            i += length;
            continue;
        } else {
            AppendHexByte(out, c);
        }
        ++i;
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size())
            return std::nullopt;
        switch (s[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 'x': {
                const int high = i + 1 < s.size() ? HexValue(s[i + 1]) : -1;
                const int low = i + 2 < s.size() ? HexValue(s[i + 2]) : -1;
                if (high < 0 || low < 0)
                    return std::nullopt;
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const size_t tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos)
            return fields;
        line.remove_prefix(tab + 1);
    }
}

// A record line, or nothing when it is none.
std::optional<std::pair<std::string, SyncRecord>> ParseRecord(const std::vector<std::string_view>& fields) {
    if (fields.size() < 7 || (fields[0] != "u" && fields[0] != "d"))
        return std::nullopt;
    SyncRecord record;
    record.upload = fields[0] == "u";
    const auto localTime = ParseNumber<int64_t>(fields[1]);
    const auto localSize = ParseNumber<int64_t>(fields[2]);
    const auto serverTime = ParseNumber<int64_t>(fields[3]);
    const auto serverSize = ParseNumber<int64_t>(fields[4]);
    const auto precision = ParseNumber<int>(fields[5]);
    auto name = Unescape(fields.back());
    if (!localTime || !localSize || !serverTime || !serverSize || !precision || *precision < 0 || *precision > 2 ||
        !name || name->empty())
        return std::nullopt;
    record.localTime = *localTime;
    record.localSize = *localSize;
    record.serverTime = *serverTime;
    record.serverSize = *serverSize;
    record.precision = *precision;
    return std::pair{std::move(*name), record};
}

// Percent-encodes control bytes, "%" and the characters of `also`.
std::string PercentEncode(std::string_view s, std::string_view also) {
    std::string out;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || c == '%' || also.find(ch) != std::string_view::npos) {
            out += '%';
            out += kUpperHex[c >> 4];
            out += kUpperHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

// "1" to "65535", as a host text's port.
int ParsePortText(std::string_view text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    const int port = *ParseNumber<int>(text);
    return port <= 65535 ? port : 0;
}

std::string LowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool ReadWhole(int fd, std::string& out) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

std::string CacheStatePath(const std::string& programDir, const std::string& profileName) {
    return programDir + "/CACHE/" + profileName + std::string(kStateSuffix);
}

std::string CachePlace(int security, const std::string& host, uint16_t port, const std::string& user,
                       const std::string& serverDir) {
    // The host name and the port it carries, as the connection reads them.
    std::string name = host;
    int hostPort = 0;
    bool bracketed = false;
    if (!host.empty() && host[0] == '[') {
        const size_t close = host.find(']');
        if (close != std::string::npos) {
            const std::string_view rest = std::string_view(host).substr(close + 1);
            const int restPort = rest.size() > 1 && rest[0] == ':' ? ParsePortText(rest.substr(1)) : 0;
            if (rest.empty() || restPort != 0) {
                name = host.substr(1, close - 1);
                hostPort = restPort;
                bracketed = true;
            }
        }
    } else if (const auto colons = std::count(host.begin(), host.end(), ':'); colons == 1) {
        const size_t colon = host.find(':');
        if (const int p = ParsePortText(std::string_view(host).substr(colon + 1)); p != 0) {
            name = host.substr(0, colon);
            hostPort = p;
        }
    } else if (colons > 1) {
        bracketed = true;  // a bare IPv6 address
    }
    name = LowerAscii(std::move(name));

    static constexpr const char* kSchemes[] = {"ftp", "ftpes", "ftps", "sftp"};
    const bool known = security >= 0 && security < 4;
    const int effectivePort = hostPort != 0   ? hostPort
                              : port != 0     ? port
                              : security == 2 ? 990
                              : security == 3 ? 22
                                              : 21;

    std::string dir = serverDir;
    ConvertSeparators(dir, 0);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();

    std::string place = known ? kSchemes[security] : "kind" + std::to_string(security);
    place += "://";
    place += PercentEncode(user, "@:/ ");
    place += '@';
    place += bracketed ? "[" + PercentEncode(name, "@/[] ") + "]" : PercentEncode(name, "@:/[] ");
    place += ':';
    place += std::to_string(effectivePort);
    if (!dir.empty() && dir[0] == '/')
        place += PercentEncode(dir, "");
    else
        place += dir.empty() ? "~" : "~/" + PercentEncode(dir, "");
    return place;
}

bool ReadCacheState(const std::string& path, CacheState& out) {
    out = CacheState();
    // Non-blocking open so that a FIFO in the cache directory cannot hang the run.
    const ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (fd.get() < 0)
        return false;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::string text;
    if (!ReadWhole(fd.get(), text))
        return false;

    std::string_view rest = text;
    bool first = true;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        // Written with CR LF by some editor: no CR of ours ends a line unescaped.
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            if (line != kHeader)
                return false;
            first = false;
            continue;
        }
        const std::vector<std::string_view> fields = SplitFields(line);
        if (fields.size() >= 2 && fields[0] == "place") {
            if (auto place = Unescape(fields.back()))
                out.place = std::move(*place);
        } else if (auto record = ParseRecord(fields)) {
            out.records.insert_or_assign(std::move(record->first), record->second);
        }
    }
    if (first)
        return false;
    return true;
}

bool WriteCacheState(const std::string& programDir, const std::string& profileName, const CacheState& state) {
    // An empty program directory would put CACHE at the file-system root.
    if (programDir.empty() || profileName.empty() || profileName.find('/') != std::string::npos ||
        profileName.find('\0') != std::string::npos)
        return false;

    const std::string dir = programDir + "/CACHE";
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        // The file lists the user's file names: readable by the user only.
        mkdir(dir.c_str(), 0700);
        if (lstat(dir.c_str(), &st) != 0)
            return false;
    }
    // A link in CACHE's place is not followed: the file would land wherever it points.
    if (!S_ISDIR(st.st_mode))
        return false;

    std::string data;
    data.append(kHeader);
    data += "\nplace\t";
    data += Escape(state.place);
    data += '\n';
    for (const auto& [name, record] : state.records) {
        if (name.empty())
            continue;
        data += record.upload ? 'u' : 'd';
        for (const int64_t value : {record.localTime, record.localSize, record.serverTime, record.serverSize,
                                    static_cast<int64_t>(record.precision)}) {
            data += '\t';
            data += std::to_string(value);
        }
        data += '\t';
        data += Escape(name);
        data += '\n';
    }

    // Written beside the old file and renamed over it only when complete. The
    // temporary name is longer than any profile name, like the file's own.
    const std::string path = CacheStatePath(programDir, profileName);
    std::string tempPath = path + ".XXXXXX";
    ScopedFd fd(mkostemp(tempPath.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    const bool written = WriteFull(fd.get(), data.data(), data.size());
    if (!fd.Close() || !written || rename(tempPath.c_str(), path.c_str()) != 0) {
        unlink(tempPath.c_str());
        return false;
    }
    return true;
}

}  // namespace kestrum
