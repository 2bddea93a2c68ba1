#include "res/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <atomic>
#include <cerrno>
#include <vector>

namespace kestrum {

namespace {

std::atomic<int> g_override{-1};

CodePage DetectCodePage() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset != nullptr) {
        for (const char* name : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS_KANJI"}) {
            if (strcasecmp(codeset, name) == 0)
                return CodePage::Cp932;
        }
    }
    return CodePage::Utf8;
}

bool IsCp932Lead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool IsCp932Trail(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

size_t Utf8Length(unsigned char c) {
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0)
        return 2;
    if ((c & 0xF0) == 0xE0)
        return 3;
    if ((c & 0xF8) == 0xF0)
        return 4;
    return 1;  // stray continuation or invalid byte: step over it alone
}

std::string Convert(std::string_view s, const char* to, const char* from, CodePage fromCp, const char* replacement) {
    if (s.empty())
        return {};
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(s);
    std::string out;
    std::vector<char> buf(s.size() * 4 + 16);
    char* in = const_cast<char*>(s.data());
    size_t inLeft = s.size();
    while (inLeft > 0) {
        char* outPtr = buf.data();
        size_t outLeft = buf.size();
        size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buf.data(), outPtr - buf.data());
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // EILSEQ or EINVAL: one replacement for the whole character, then go on.
            const size_t skip = CharLength(std::string_view(in, inLeft), 0, fromCp);
            out += replacement;
            in += skip;
            inLeft -= skip;
        }
    }
    iconv_close(cd);
    return out;
}

const char* IconvName(CodePage cp) {
    return cp == CodePage::Cp932 ? "CP932" : "UTF-8";
}

}  // namespace

CodePage SystemCodePage() {
    int o = g_override.load(std::memory_order_relaxed);
    if (o >= 0)
        return static_cast<CodePage>(o);
    static const CodePage detected = DetectCodePage();
    return detected;
}

void SetSystemCodePage(CodePage cp) {
    g_override.store(static_cast<int>(cp));
}

size_t CharLength(std::string_view s, size_t pos, CodePage cp) {
    if (pos >= s.size())
        return 1;
    const auto c = static_cast<unsigned char>(s[pos]);
    size_t len = 1;
    // A lead byte takes only the bytes that may follow it: an ASCII byte after a
    // stray lead byte (a "/" or "\" in a name that is not valid text) stays a
    // character of its own.
    if (cp == CodePage::Cp932) {
        if (IsCp932Lead(c) && pos + 1 < s.size() && IsCp932Trail(static_cast<unsigned char>(s[pos + 1])))
            len = 2;
    } else {
        const size_t want = Utf8Length(c);
        while (len < want && pos + len < s.size() && (static_cast<unsigned char>(s[pos + len]) & 0xC0) == 0x80)
            ++len;
    }
    return len;
}

std::string UpperAscii(std::string_view s, CodePage cp) {
    std::string out(s);
    for (size_t i = 0; i < out.size();) {
        size_t len = CharLength(out, i, cp);
        if (len == 1 && out[i] >= 'a' && out[i] <= 'z')
            out[i] = static_cast<char>(out[i] - 'a' + 'A');
        i += len;
    }
    return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b, CodePage cp) {
    if (a.size() != b.size())
        return false;
    return UpperAscii(a, cp) == UpperAscii(b, cp);
}

size_t FindLastChar(std::string_view s, char c, CodePage cp) {
    size_t found = std::string_view::npos;
    for (size_t i = 0; i < s.size();) {
        size_t len = CharLength(s, i, cp);
        if (len == 1 && s[i] == c)
            found = i;
        i += len;
    }
    return found;
}

size_t FindFirstChar(std::string_view s, char c, CodePage cp) {
    for (size_t i = 0; i < s.size();) {
        size_t len = CharLength(s, i, cp);
        if (len == 1 && s[i] == c)
            return i;
        i += len;
    }
    return std::string_view::npos;
}

void ConvertSeparators(std::string& path, int direction, CodePage cp) {
    for (size_t i = 0; i < path.size();) {
        size_t len = CharLength(path, i, cp);
        if (len == 1) {
            if (direction == 0 && path[i] == '\\')
                path[i] = '/';
            // Local form on this platform joins levels with "/" too.
            if (direction == 1 && path[i] == '\\')
                path[i] = '/';
        }
        i += len;
    }
}

std::string ExtensionOf(std::string_view name, CodePage cp) {
    size_t dot = FindLastChar(name, '.', cp);
    if (dot == std::string_view::npos)
        return {};
    size_t slash = FindLastChar(name, '/', cp);
    size_t back = FindLastChar(name, '\\', cp);
    if (slash != std::string_view::npos && slash > dot)
        return {};
    if (back != std::string_view::npos && back > dot)
        return {};
    return std::string(name.substr(dot + 1));
}

std::string CutToBytes(std::string_view s, size_t maxBytes, CodePage cp) {
    if (s.size() <= maxBytes)
        return std::string(s);
    size_t end = 0;
    for (size_t i = 0; i < s.size();) {
        size_t len = CharLength(s, i, cp);
        if (i + len > maxBytes)
            break;
        i += len;
        end = i;
    }
    return std::string(s.substr(0, end));
}

std::string ToUtf8(std::string_view s, CodePage cp) {
    return Convert(s, "UTF-8", IconvName(cp), cp, "\xEF\xBF\xBD");
}

std::string FromUtf8(std::string_view s, CodePage cp) {
    return Convert(s, IconvName(cp), "UTF-8", CodePage::Utf8, "?");
}

bool IsValidText(std::string_view s, CodePage cp) {
    iconv_t cd = iconv_open("UTF-8", IconvName(cp));
    if (cd == reinterpret_cast<iconv_t>(-1))
        return true;
    std::vector<char> buf(s.size() * 4 + 16);
    char* in = const_cast<char*>(s.data());
    size_t inLeft = s.size();
    char* out = buf.data();
    size_t outLeft = buf.size();
    size_t r = iconv(cd, &in, &inLeft, &out, &outLeft);
    iconv_close(cd);
    return r != static_cast<size_t>(-1) && inLeft == 0;
}

std::string PrintableName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return out;
}

}  // namespace kestrum
