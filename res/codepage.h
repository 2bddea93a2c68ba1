#pragma once
// Byte strings in the system code page (UTF-8 on a normal Linux system, CP932
// under a Shift_JIS locale). Every operation here steps over multibyte
// characters whole, so a trail byte that equals "\" or "/" is never touched.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrum {

enum class CodePage { Utf8, Cp932 };

// The locale's encoding, read once (after setlocale(LC_ALL, "") in main).
CodePage SystemCodePage();
// Overrides the detected code page (tests and the CP932 locale check).
void SetSystemCodePage(CodePage cp);

// Length in bytes of the character starting at pos (at least 1, never past the end).
size_t CharLength(std::string_view s, size_t pos, CodePage cp = SystemCodePage());

// ASCII letters upper-cased; multibyte characters left as they are.
std::string UpperAscii(std::string_view s, CodePage cp = SystemCodePage());

// Names compared with ASCII letters folded, multibyte characters byte for byte.
bool EqualsIgnoreCase(std::string_view a, std::string_view b, CodePage cp = SystemCodePage());
// A key that is equal for names EqualsIgnoreCase finds equal (for hash indexes).
inline std::string FoldKey(std::string_view s, CodePage cp = SystemCodePage()) {
    return UpperAscii(s, cp);
}

// Position of the last/first single-byte character c, or npos; trail bytes never match.
size_t FindLastChar(std::string_view s, char c, CodePage cp = SystemCodePage());
size_t FindFirstChar(std::string_view s, char c, CodePage cp = SystemCodePage());

// direction 0: every "\" becomes "/" (server form); 1: every "/" becomes "\"
// (local form). On Linux the local separator is "/", so direction 1 turns "\"
// into "/" as well: the local form of a path uses the platform separator.
void ConvertSeparators(std::string& path, int direction, CodePage cp = SystemCodePage());

// The extension of a relative name: the text after the last "." when that "."
// stands after the last "/" and the last "\"; otherwise empty. Not upper-cased.
std::string ExtensionOf(std::string_view name, CodePage cp = SystemCodePage());

// At most maxBytes bytes, cut before a character that would not fit whole.
std::string CutToBytes(std::string_view s, size_t maxBytes, CodePage cp = SystemCodePage());

// Conversions between the code page and UTF-8 (the window's text). Bytes that
// cannot be converted become U+FFFD (to UTF-8) or "?" (from UTF-8).
std::string ToUtf8(std::string_view s, CodePage cp = SystemCodePage());
std::string FromUtf8(std::string_view s, CodePage cp = SystemCodePage());

// Whether s is well-formed text in the code page.
bool IsValidText(std::string_view s, CodePage cp = SystemCodePage());

// A name as it may be shown on one line of a log or a terminal: control bytes
// (NUL, CR, LF, ESC and the rest) become "?".
std::string PrintableName(std::string_view name);

}  // namespace kestrum
