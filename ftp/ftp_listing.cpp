#include "ftp/ftp_listing.h"

#include <cctype>
#include <utility>
#include <vector>

namespace kestrum {
namespace {

using Token = std::pair<size_t, size_t>;  // begin, end

std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        size_t begin = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            ++i;
        }
        if (i > begin) {
            tokens.emplace_back(begin, i);
        }
    }
    return tokens;
}

bool AllDigits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Digits only; thousands separators of DOS listings are skipped.
std::optional<int64_t> ParseNumber(std::string_view text, bool allowCommas = false) {
    if (text.empty()) {
        return std::nullopt;
    }
    int64_t value = 0;
    bool any = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (value > (INT64_MAX - 9) / 10) {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
            any = true;
        } else if (!(allowCommas && c == ',')) {
            return std::nullopt;
        }
    }
    return any ? std::optional<int64_t>(value) : std::nullopt;
}

int MonthOf(std::string_view text) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() != 3) {
        return 0;
    }
    for (int m = 0; m < 12; ++m) {
        bool same = true;
        for (int k = 0; k < 3; ++k) {
            if (std::tolower(static_cast<unsigned char>(text[k])) != kMonths[m][k]) {
                same = false;
            }
        }
        if (same) {
            return m + 1;
        }
    }
    return 0;
}

// "HH:MM" -> minutes since midnight.
std::optional<int> ParseClock(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() - colon - 1 != 2) {
        return std::nullopt;
    }
    auto hour = ParseNumber(text.substr(0, colon));
    auto minute = ParseNumber(text.substr(colon + 1));
    if (!hour || !minute || *hour > 23 || *minute > 59) {
        return std::nullopt;
    }
    return static_cast<int>(*hour * 60 + *minute);
}

int YearOf(int64_t utcSeconds) {
    // Inverse of UtcSeconds for the year only (Howard Hinnant's civil_from_days).
    int64_t z = (utcSeconds >= 0 ? utcSeconds : utcSeconds - 86399) / 86400 + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t y = yoe + era * 400;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return static_cast<int>(m <= 2 ? y + 1 : y);
}

bool ValidDate(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1900 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The forms of a Japanese date marker: servers send their locale's encoding
// (UTF-8, Shift_JIS/CP932 or EUC-JP).
using MarkForms = std::string_view[3];
constexpr MarkForms kMonthMark = {"\xE6\x9C\x88", "\x8C\x8E", "\xB7\xEE"};                              // 月
constexpr MarkForms kDayMark = {"\xE6\x97\xA5", "\x93\xFA", "\xC6\xFC"};                                // 日
constexpr MarkForms kYearMark = {"\xE5\xB9\xB4", "\x94\x4E", "\xC7\xAF"};                               // 年
constexpr MarkForms kTotalWord = {"\xE5\x90\x88\xE8\xA8\x88", "\x8D\x87\x8C\x76", "\xB9\xE7\xB7\xD7"};  // 合計

bool IsOneOf(std::string_view text, const MarkForms& forms) {
    for (std::string_view form : forms) {
        if (text == form) {
            return true;
        }
    }
    return false;
}

// The digits of "12" or "12月" (with mark); at most maxDigits of them.
std::optional<int64_t> NumberWithMark(std::string_view text, const MarkForms& mark, bool markRequired,
                                      size_t maxDigits) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > maxDigits) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(digits);
    if (rest.empty() ? markRequired : !IsOneOf(rest, mark)) {
        return std::nullopt;
    }
    return ParseNumber(text.substr(0, digits));
}

struct ListedTime {
    int64_t time = 0;
    TimePrecision precision = TimePrecision::Minute;
};

// "Mar 2 12:34", "Mar 2 2003", and the Japanese-locale forms "3月 2日 12:34",
// "3月 2日 2003年", "3月 2 2003". Year-less dates take the latest year that
// puts them no more than a day after nowUtc (29 February may reach back to
// the last leap year).
std::optional<ListedTime> ReadMonthDayDate(std::string_view monthText, std::string_view dayText,
                                           std::string_view yearOrClock, int64_t nowUtc) {
    int month = MonthOf(monthText);
    if (month == 0) {
        auto numeric = NumberWithMark(monthText, kMonthMark, true, 2);
        month = numeric && *numeric >= 1 && *numeric <= 12 ? static_cast<int>(*numeric) : 0;
    }
    auto dayNumber = NumberWithMark(dayText, kDayMark, false, 2);
    if (month == 0 || !dayNumber || *dayNumber < 1 || *dayNumber > 31) {
        return std::nullopt;
    }
    const int day = static_cast<int>(*dayNumber);
    ListedTime listed;
    if (auto clock = ParseClock(yearOrClock)) {
        int thisYear = YearOf(nowUtc);
        for (int year = thisYear; year > thisYear - 8; --year) {
            if (ValidDate(year, month, day)) {
                listed.time = UtcSeconds(year, month, day, *clock / 60, *clock % 60, 0);
                if (listed.time <= nowUtc + 86400) {
                    return listed;
                }
            }
        }
        return std::nullopt;
    }
    auto year = NumberWithMark(yearOrClock, kYearMark, false, 4);
    if (!year || !ValidDate(static_cast<int>(*year), month, day)) {
        return std::nullopt;
    }
    listed.time = UtcSeconds(static_cast<int>(*year), month, day, 0, 0, 0);
    listed.precision = TimePrecision::Day;
    return listed;
}

// "2003-03-02 12:34" or "2003-03-02 12:34:56".
std::optional<ListedTime> ReadIsoDate(std::string_view date, std::string_view clockText) {
    if (date.size() != 10 || date[4] != '-' || date[7] != '-') {
        return std::nullopt;
    }
    auto year = ParseNumber(date.substr(0, 4));
    auto month = ParseNumber(date.substr(5, 2));
    auto day = ParseNumber(date.substr(8, 2));
    if (!year || !month || !day ||
        !ValidDate(static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day))) {
        return std::nullopt;
    }
    ListedTime listed;
    int64_t second = 0;
    if (clockText.size() == 8 && clockText[5] == ':') {
        auto seconds = ParseNumber(clockText.substr(6));
        if (!seconds || *seconds > 60) {
            return std::nullopt;
        }
        second = *seconds;
        clockText = clockText.substr(0, 5);
        listed.precision = TimePrecision::Second;
    }
    auto clock = ParseClock(clockText);
    if (!clock) {
        return std::nullopt;
    }
    listed.time = UtcSeconds(static_cast<int>(*year), static_cast<int>(*month), static_cast<int>(*day), *clock / 60,
                             *clock % 60, static_cast<int>(second));
    return listed;
}

// The type letter, nine permission letters and an optional ACL or extended
// attribute marker ("+", "@", ".").
bool IsModeToken(std::string_view mode) {
    if (mode.size() < 10 || mode.size() > 11 || std::string_view("-dlbcpsD").find(mode[0]) == std::string_view::npos) {
        return false;
    }
    for (size_t i = 1; i < 10; ++i) {
        if (std::string_view("-rwxsStTlL").find(mode[i]) == std::string_view::npos) {
            return false;
        }
    }
    return mode.size() == 10 || std::string_view("+@.").find(mode[10]) != std::string_view::npos;
}

// The permission bits of "rwxr-xr-x" (the nine letters after the type): s and t
// add setuid, setgid or sticky to an execute bit, S, T (and l, L for setgid:
// mandatory locking) add them alone. -1 for any other letter.
int PermissionBits(std::string_view letters) {
    int mode = 0;
    for (size_t who = 0; who < 3; ++who) {
        const std::string_view triple = letters.substr(who * 3, 3);
        const int shift = static_cast<int>(2 - who) * 3;
        if (triple[0] == 'r') {
            mode |= 4 << shift;
        } else if (triple[0] != '-') {
            return -1;
        }
        if (triple[1] == 'w') {
            mode |= 2 << shift;
        } else if (triple[1] != '-') {
            return -1;
        }
        // The special bit this position carries: setuid, setgid, sticky.
        const int special = 04000 >> who;
        const std::string_view withExecute = who == 2 ? "t" : "s";
        const std::string_view alone = who == 2 ? "T" : who == 1 ? "SlL" : "S";
        if (triple[2] == 'x') {
            mode |= 1 << shift;
        } else if (withExecute.find(triple[2]) != std::string_view::npos) {
            mode |= (1 << shift) | special;
        } else if (alone.find(triple[2]) != std::string_view::npos) {
            mode |= special;
        } else if (triple[2] != '-') {
            return -1;
        }
    }
    return mode;
}

// A UNIX.mode fact: octal digits (leading zeros allowed) up to 07777; -1 for anything else.
int OctalMode(std::string_view text) {
    if (text.empty()) {
        return -1;
    }
    int mode = 0;
    for (char c : text) {
        if (c < '0' || c > '7') {
            return -1;
        }
        mode = mode * 8 + (c - '0');
        if (mode > 07777) {
            return -1;
        }
    }
    return mode;
}

std::optional<ParsedListLine> ParseUnixLine(std::string_view line, int64_t nowUtc) {
    auto tokens = Tokenize(line);
    if (tokens.size() < 4) {
        return std::nullopt;
    }
    auto token = [&](size_t i) { return line.substr(tokens[i].first, tokens[i].second - tokens[i].first); };
    std::string_view mode = token(0);
    if (mode.size() < 10) {
        return std::nullopt;
    }
    char type = mode[0];
    if (type != '-' && type != 'd' && type != 'l') {
        return std::nullopt;
    }
    // The date is the first "month day time-or-year" triple or ISO date and
    // time pair after a size.
    for (size_t i = 2; i + 1 < tokens.size(); ++i) {
        auto size = ParseNumber(token(i - 1));
        if (!size) {
            continue;
        }
        size_t last = i + 1;
        std::optional<ListedTime> listed = ReadIsoDate(token(i), token(i + 1));
        if (!listed && i + 2 < tokens.size()) {
            last = i + 2;
            listed = ReadMonthDayDate(token(i), token(i + 1), token(i + 2), nowUtc);
        }
        if (!listed) {
            continue;
        }
        // The name follows the date after exactly one space, so leading spaces of a name survive.
        size_t nameStart = tokens[last].second + 1;
        if (nameStart >= line.size()) {
            return std::nullopt;
        }
        std::string_view name = line.substr(nameStart);
        if (type == 'l') {
            auto arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                name = name.substr(0, arrow);
            }
        }
        ParsedListLine parsed;
        parsed.name = std::string(name);
        parsed.isDirectory = type == 'd';
        // A link's size and permission bits (rwxrwxrwx) are its own, not those of the file it points to.
        parsed.size = type == 'l' ? -1 : *size;
        parsed.lastWriteTime = listed->time;
        parsed.precision = listed->precision;
        parsed.mode = type == 'l' ? -1 : PermissionBits(mode.substr(1, 9));
        return parsed;
    }
    return std::nullopt;
}

std::optional<ParsedListLine> ParseDosLine(std::string_view line) {
    auto tokens = Tokenize(line);
    if (tokens.size() < 4) {
        return std::nullopt;
    }
    auto token = [&](size_t i) { return line.substr(tokens[i].first, tokens[i].second - tokens[i].first); };
    std::string_view date = token(0);
    // MM-DD-YY or MM-DD-YYYY
    if (date.size() != 8 && date.size() != 10) {
        return std::nullopt;
    }
    if (date[2] != '-' || date[5] != '-') {
        return std::nullopt;
    }
    auto month = ParseNumber(date.substr(0, 2));
    auto day = ParseNumber(date.substr(3, 2));
    auto yearNumber = ParseNumber(date.substr(6));
    if (!month || !day || !yearNumber) {
        return std::nullopt;
    }
    int year = static_cast<int>(*yearNumber);
    if (date.size() == 8) {
        year += year < 70 ? 2000 : 1900;
    }
    if (!ValidDate(year, static_cast<int>(*month), static_cast<int>(*day))) {
        return std::nullopt;
    }
    // "12:34PM", "12:34 PM" or "12:34"
    std::string_view clockText = token(1);
    size_t next = 2;
    std::string_view meridiem;
    if (clockText.size() > 2) {
        std::string_view tail = clockText.substr(clockText.size() - 2);
        if (std::toupper(static_cast<unsigned char>(tail[1])) == 'M') {
            meridiem = tail;
            clockText = clockText.substr(0, clockText.size() - 2);
        }
    }
    if (meridiem.empty() && tokens.size() > 4) {
        std::string_view candidate = token(2);
        if (candidate.size() == 2 && std::toupper(static_cast<unsigned char>(candidate[1])) == 'M') {
            meridiem = candidate;
            next = 3;
        }
    }
    auto clock = ParseClock(clockText);
    if (!clock) {
        return std::nullopt;
    }
    int hour = *clock / 60;
    int minute = *clock % 60;
    if (!meridiem.empty()) {
        char am = static_cast<char>(std::toupper(static_cast<unsigned char>(meridiem[0])));
        if ((am != 'A' && am != 'P') || hour < 1 || hour > 12) {
            return std::nullopt;
        }
        hour %= 12;
        if (am == 'P') {
            hour += 12;
        }
    }
    if (next + 1 >= tokens.size()) {
        return std::nullopt;
    }
    std::string_view sizeOrDir = token(next);
    ParsedListLine parsed;
    if (sizeOrDir == "<DIR>" || sizeOrDir == "<dir>") {
        parsed.isDirectory = true;
    } else if (auto size = ParseNumber(sizeOrDir, true)) {
        parsed.size = *size;
    } else {
        return std::nullopt;
    }
    parsed.name = std::string(line.substr(tokens[next + 1].first));
    parsed.lastWriteTime = UtcSeconds(year, static_cast<int>(*month), static_cast<int>(*day), hour, minute, 0);
    parsed.precision = TimePrecision::Minute;
    return parsed;
}

constexpr size_t kMaxListedNameBytes = 1024;

bool IsHostileName(std::string_view name) {
    if (name.empty()) {
        return true;
    }
    // No file system takes a longer name; a control byte (TAB, ESC, ...) could
    // not be sent back in a command and would reach the log and the terminal.
    if (name.size() > kMaxListedNameBytes) {
        return true;
    }
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

template <typename LineParser>
void ForEachLine(std::string_view text, LineParser parse) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            parse(line);
        }
        pos = end + 1;
    }
}

}  // namespace

int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second) {
    // Howard Hinnant's days_from_civil.
    int64_t y = static_cast<int64_t>(year) - (month <= 2 ? 1 : 0);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = month > 2 ? month - 3 : month + 9;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<int64_t> ParseTimeVal(std::string_view value) {
    if (value.size() < 14 || !AllDigits(value.substr(0, 14))) {
        return std::nullopt;
    }
    auto num = [&](size_t at, size_t len) { return static_cast<int>(*ParseNumber(value.substr(at, len))); };
    int year = num(0, 4), month = num(4, 2), day = num(6, 2);
    int hour = num(8, 2), minute = num(10, 2), second = num(12, 2);
    if (!ValidDate(year, month, day) || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    return UtcSeconds(year, month, day, hour, minute, second);
}

std::optional<ParsedListLine> ParseMlsxLine(std::string_view line) {
    auto space = line.find(' ');
    if (space == std::string_view::npos || space + 1 >= line.size()) {
        return std::nullopt;
    }
    std::string_view facts = line.substr(0, space);
    ParsedListLine parsed;
    parsed.name = std::string(line.substr(space + 1));
    bool keep = true;
    // Without a readable modify fact the time is unknown, never 1970.
    parsed.lastWriteTime = kUnknownServerTime;
    size_t pos = 0;
    while (pos < facts.size()) {
        size_t end = facts.find(';', pos);
        if (end == std::string_view::npos) {
            end = facts.size();
        }
        std::string_view fact = facts.substr(pos, end - pos);
        pos = end + 1;
        auto eq = fact.find('=');
        if (eq == std::string_view::npos) {
            continue;
        }
        std::string key(fact.substr(0, eq));
        for (auto& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string_view value = fact.substr(eq + 1);
        if (key == "type") {
            std::string type(value);
            for (auto& c : type) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            if (type == "dir") {
                parsed.isDirectory = true;
            } else if (type == "file" || type.rfind("os.unix=slink", 0) == 0 || type == "os.unix=symlink") {
                parsed.isDirectory = false;
            } else {
                keep = false;  // cdir, pdir, devices
            }
        } else if (key == "size" || key == "sizd") {
            if (auto size = ParseNumber(value)) {
                parsed.size = *size;
            }
        } else if (key == "modify") {
            if (auto time = ParseTimeVal(value)) {
                parsed.lastWriteTime = *time;
            }
        } else if (key == "unix.mode") {
            parsed.mode = OctalMode(value);
        }
    }
    if (!keep) {
        return std::nullopt;
    }
    return parsed;
}

std::optional<ParsedListLine> ParseListLine(std::string_view line, int64_t nowUtc) {
    while (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        line.remove_prefix(1);
    }
    if (line.empty()) {
        return std::nullopt;
    }
    if (line[0] >= '0' && line[0] <= '9') {
        return ParseDosLine(line);
    }
    return ParseUnixLine(line, nowUtc);
}

bool IsListLineWithoutEntry(std::string_view line) {
    auto tokens = Tokenize(line);
    if (tokens.empty()) {
        return true;
    }
    auto token = [&](size_t i) { return line.substr(tokens[i].first, tokens[i].second - tokens[i].first); };
    std::string_view first = token(0);
    std::string lower(first);
    for (auto& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (tokens.size() == 2 && (lower == "total" || IsOneOf(first, kTotalWord))) {
        return ParseNumber(token(1)).has_value();
    }
    return IsModeToken(first) && std::string_view("bcpsD").find(first[0]) != std::string_view::npos;
}

void AddListedEntry(FtpListing& listing, ParsedListLine line) {
    if (line.name == "." || line.name == "..") {
        if (!line.isDirectory) {
            listing.rejectedNames.push_back(std::move(line.name));
        }
        return;
    }
    if (IsHostileName(line.name)) {
        listing.rejectedNames.push_back(std::move(line.name));
        return;
    }
    FtpEntry entry;
    entry.hidden = line.name[0] == '.';
    entry.name = std::move(line.name);
    entry.isDirectory = line.isDirectory;
    entry.size = line.size;
    entry.lastWriteTime = line.lastWriteTime;
    entry.precision = line.precision;
    entry.mode = line.mode;
    listing.entries.push_back(std::move(entry));
}

void ParseMlsdListing(std::string_view text, FtpListing& listing) {
    ForEachLine(text, [&](std::string_view line) {
        if (auto parsed = ParseMlsxLine(line)) {
            AddListedEntry(listing, std::move(*parsed));
        }
    });
}

void ParseListListing(std::string_view text, int64_t nowUtc, FtpListing& listing) {
    ForEachLine(text, [&](std::string_view line) {
        if (auto parsed = ParseListLine(line, nowUtc)) {
            AddListedEntry(listing, std::move(*parsed));
        } else if (!IsListLineWithoutEntry(line)) {
            listing.unparsedLines.emplace_back(line);
        }
    });
}

}  // namespace kestrum
