#pragma once
// The string table: every user-visible text addressed by number. The table is
// held in UTF-8; LoadString converts to the system code page.

#include <initializer_list>
#include <string>
#include <string_view>

namespace kestrum {

struct StringEntry {
    int id;
    const char* utf8;
};

// The entries, sorted by id (strings_table.cpp).
extern const StringEntry kStringTable[];
extern const size_t kStringTableSize;

// Text of an entry in UTF-8; empty when the id is unknown.
std::string_view StringUtf8(int id);
// Text of an entry in the system code page.
std::string LoadString(int id);

// Replaces each "%s" and "%d" of fmt, in order, with the next argument (used
// as given: callers pass numbers already written in decimal). "%%" is "%".
// Missing arguments leave the placeholder empty; extra ones are ignored.
std::string FormatText(std::string_view fmt, std::initializer_list<std::string_view> args);
// FormatText on string `id` in the system code page.
std::string FormatString(int id, std::initializer_list<std::string_view> args);

}  // namespace kestrum
