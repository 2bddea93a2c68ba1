// The listing parsers on captured server output; no server needed.

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <utility>

#include "ftp/ftp_listing.h"

namespace kestrum {
namespace {

// 2024-06-15 12:00:00 UTC: "now" for year-less dates.
constexpr int64_t kNow = 1718452800;

// "2024-06-15 11:58" as seconds and precision: a date alone is to the day, with
// minutes to the minute, with seconds to the second.
std::pair<int64_t, TimePrecision> At(const char* text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const int n = std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
    return {UtcSeconds(y, mo, d, h, mi, s), n == 3   ? TimePrecision::Day
                                            : n == 5 ? TimePrecision::Minute
                                                     : TimePrecision::Second};
}

TEST(FtpListingTest, UtcSecondsMatchesKnownDates) {
    EXPECT_EQ(UtcSeconds(1970, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(UtcSeconds(2024, 6, 15, 12, 0, 0), kNow);
    EXPECT_EQ(UtcSeconds(2000, 2, 29, 23, 59, 59), 951868799);
    EXPECT_EQ(UtcSeconds(2038, 1, 19, 3, 14, 8), 2147483648LL);  // beyond 32 bits
    EXPECT_EQ(UtcSeconds(1969, 12, 31, 23, 59, 59), -1);
}

TEST(FtpListingTest, LinesFromSeveralServers) {
    struct Case {
        const char* line;
        const char* name;
        bool dir;
        int64_t size;
        const char* time;
        int mode;  // permission bits; -1 none
        int64_t now = kNow;
    };
    constexpr int64_t kJanuary = 1704153600;    // 2024-01-02 00:00 UTC
    constexpr int64_t kMarch2025 = 1741046400;  // 2025-03-04 00:00 UTC
    const Case cases[] = {
        // pyftpdlib
        {"-rw-r--r--   1 user     user           12 Jun 15 11:58 a.txt", "a.txt", false, 12, "2024-06-15 11:58", 0644},
        {"drwxr-xr-x   2 user     user         4096 Jan 05  2020 old dir", "old dir", true, 4096, "2020-01-05", 0755},
        // vsftpd: numeric owners, one space before the name
        {"-rw-------    1 1000     1000       123456 Mar 03 09:07 report 2024.pdf", "report 2024.pdf", false, 123456,
         "2024-03-03 09:07", 0600},
        // proftpd with an ACL marker after the mode and a single-digit day
        {"drwxrwxr-x+  3 ftp      ftp          4096 Dec  1  2023 archive", "archive", true, 4096, "2023-12-01", 0775},
        // macOS and SELinux attribute markers
        {"-rw-r--r--@  1 user     staff          10 Jun 10 10:00 mac.txt", "mac.txt", false, 10, "2024-06-10 10:00",
         0644},
        {"-rw-r--r--.  1 root     root           10 Jun 10 10:00 se.txt", "se.txt", false, 10, "2024-06-10 10:00",
         0644},
        // blanks before the mode
        {"  -rw-r--r--   1 user     user            3 Jun 15 11:58 indented.txt", "indented.txt", false, 3,
         "2024-06-15 11:58", 0644},
        // Japanese locale (UTF-8): "3月  2日 12:34", "12月 31日 2003年", "3月  2  2003", "1月 15 08:00"
        {"-rw-r--r--   1 user     user          120  3\xe6\x9c\x88  2\xe6\x97\xa5 12:34 a.txt", "a.txt", false, 120,
         "2024-03-02 12:34", 0644},
        {"drwxr-xr-x   2 user     user         4096 12\xe6\x9c\x88 31\xe6\x97\xa5 2003\xe5\xb9\xb4 old", "old", true,
         4096, "2003-12-31", 0755},
        {"-rw-r--r-- 1 user user 5  3\xe6\x9c\x88  2  2003 y.txt", "y.txt", false, 5, "2003-03-02", 0644},
        {"-rw-r--r-- 1 user user 5  1\xe6\x9c\x88 15 08:00 j.txt", "j.txt", false, 5, "2024-01-15 08:00", 0644},
        // the same in Shift_JIS and EUC-JP
        {"-rw-r--r-- 1 user user 5 10\x8c\x8e  9\x93\xfa 2003\x94\x4e sjis.txt", "sjis.txt", false, 5, "2003-10-09",
         0644},
        {"-rw-r--r-- 1 user user 5  1\xb7\xee 15\xc6\xfc 08:00 euc.txt", "euc.txt", false, 5, "2024-01-15 08:00", 0644},
        // ISO dates ("ls --time-style=long-iso"), with seconds too
        {"-rw-r--r--    1 1000     1000           42 2023-11-05 17:08 iso name.txt", "iso name.txt", false, 42,
         "2023-11-05 17:08", 0644},
        {"drwxr-xr-x 2 ftp ftp 7 2023-11-05 17:08:09 exact", "exact", true, 7, "2023-11-05 17:08:09", 0755},
        // symbolic link: the name only, not the target, and no size or bits (its own are not the file's)
        {"lrwxrwxrwx   1 root     root            7 Feb 29 23:15 latest -> v2/file", "latest", false, -1,
         "2024-02-29 23:15", -1},
        // no group column
        {"-rw-r--r-- 1 owner 5 Jun  1 00:00 -leading dash", "-leading dash", false, 5, "2024-06-01 00:00", 0644},
        // owner named like a month, name with several inner spaces and a leading space
        {"-rw-r--r--   1 jan      staff           9 Apr 10 08:00  two  spaces", " two  spaces", false, 9,
         "2024-04-10 08:00", 0644},
        // UTF-8 name
        {"-rw-r--r--   1 user     user            3 May 20 10:10 \xe6\x97\xa5\xe6\x9c\xac.txt",
         "\xe6\x97\xa5\xe6\x9c\xac.txt", false, 3, "2024-05-20 10:10", 0644},
        // a size beyond 32 bits
        {"-rw-r--r--   1 user     user   5368709120 Jun 14 23:59 big.iso", "big.iso", false, 5368709120LL,
         "2024-06-14 23:59", 0644},
        // A year-less date within a day ahead (a server clock slightly ahead) stays this year; two days ahead can
        // only be last year, December seen in January too; 29 February seen in the year after a leap year.
        {"-rw-r--r-- 1 u g 1 Jun 16 11:00 f", "f", false, 1, "2024-06-16 11:00", 0644},
        {"-rw-r--r-- 1 u g 1 Jun 17 13:00 f", "f", false, 1, "2023-06-17 13:00", 0644},
        {"-rw-r--r-- 1 u g 1 Dec 31 22:00 f", "f", false, 1, "2023-12-31 22:00", 0644, kJanuary},
        {"-rw-r--r-- 1 u g 1 Feb 29 10:00 f", "f", false, 1, "2024-02-29 10:00", 0644, kMarch2025},
        // setuid, setgid and sticky with the execute bit (s, t) and without (S, T; l: setgid, mandatory locking)
        {"-rwsr-sr-x 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", 06755},
        {"drwxrwxrwt 2 u g 1 Jun 15 10:00 tmp", "tmp", true, 1, "2024-06-15 10:00", 01777},
        {"-rwSr-Sr-T 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", 07644},
        {"-rw-r-lr-- 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", 02644},
        {"----------+ 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", 0},
        // a letter out of its place: the entry is read, its bits are not
        {"-rwxr-xr-q 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", -1},
        {"-rw-rx-r-- 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", -1},
        {"-rwlr--r-- 1 u g 1 Jun 15 10:00 f", "f", false, 1, "2024-06-15 10:00", -1},
        // IIS (DOS form): two- and four-digit years, 12 AM and PM, a 24-hour clock, thousands separators
        {"01-05-20  02:07PM       <DIR>          My Documents", "My Documents", true, -1, "2020-01-05 14:07", -1},
        {"12-31-99  12:00AM                 1,234 setup.exe", "setup.exe", false, 1234, "1999-12-31 00:00", -1},
        {"06-15-2024  12:30PM                   17 noon.txt", "noon.txt", false, 17, "2024-06-15 12:30", -1},
        {"06-15-24  17:45                   0 empty file.txt", "empty file.txt", false, 0, "2024-06-15 17:45", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        auto parsed = ParseListLine(c.line, c.now);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->name, c.name);
        EXPECT_EQ(parsed->isDirectory, c.dir);
        EXPECT_EQ(parsed->size, c.size);
        EXPECT_EQ(parsed->lastWriteTime, At(c.time).first);
        EXPECT_EQ(parsed->precision, At(c.time).second);
        EXPECT_EQ(parsed->mode, c.mode);
    }
}

TEST(FtpListingTest, LinesThatAreNotEntries) {
    // Without an entry by design.
    for (const char* line : {"total 48", "", "   ", "\xe5\x90\x88\xe8\xa8\x88 48",
                             "crw-rw-rw-   1 root     root       1,   3 Jun 15 10:00 null",
                             "srwxr-xr-x   1 u g 0 Jun 15 10:00 socket", "prw-r--r--   1 u g 0 Jun 15 10:00 fifo"}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(ParseListLine(line, kNow).has_value());
        EXPECT_TRUE(IsListLineWithoutEntry(line));
    }
    // Not understood.
    for (const char* line : {"garbage line", "-rw-r--r-- 1 u g notasize Jun 15 10:00 f",
                             "-rw-r--r-- 1 u g 5 Jun 15 10:00", "13-45-20  02:07PM  <DIR>  bad date",
                             "-rw-r--r-- 1 u g 5 13\xe6\x9c\x88 2 2003 f", "-rw-r--r-- 1 u g 5 2023-02-30 10:00 f",
                             "-rw-r--r-- 1 u g 5 3 2 2003 f", "total lines: 2", "compressed-archive 1 2 3"}) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(ParseListLine(line, kNow).has_value());
        EXPECT_FALSE(IsListLineWithoutEntry(line));
    }
}

TEST(FtpListingTest, WholeListListingSortsOutDotsAndHostileNames) {
    const std::string text =
        "total 20\r\n"
        "drwxr-xr-x   4 u g 4096 Jun 15 10:00 .\r\n"
        "drwxr-xr-x   9 u g 4096 Jun 15 10:00 ..\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 .hidden\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 back\\slash\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 ..\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 tab\tname\r\n"
        "drwxr-xr-x   2 u g 4096 Jun 15 10:00 esc\x1b[31m\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 del\x7f\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 " +
        std::string(1025, 'n') +
        "\r\n"
        "drwxr-xr-x   2 u g 4096 Jun 15 10:00 sub\r\n"
        "crw-rw-rw-   1 root root 1,   3 Jun 15 10:00 null\r\n"
        "-rw-r--r--   1 u g   10 15 Jun 10:00 day first\r\n"
        "-rw-r--r--   1 u g   10 Jun 15 10:00 plain\n";
    FtpListing listing;
    ParseListListing(text, kNow, listing);
    EXPECT_EQ(listing.unparsedLines, std::vector<std::string>{"-rw-r--r--   1 u g   10 15 Jun 10:00 day first"});
    std::vector<std::tuple<std::string, bool, bool>> entries;  // name, directory, hidden
    for (const FtpEntry& e : listing.entries)
        entries.emplace_back(e.name, e.isDirectory, e.hidden);
    EXPECT_EQ(entries, (decltype(entries){{".hidden", false, true}, {"sub", true, false}, {"plain", false, false}}));
    EXPECT_EQ(listing.rejectedNames, (std::vector<std::string>{"back\\slash", "..", "tab\tname", "esc\x1b[31m",
                                                               "del\x7f", std::string(1025, 'n')}));
}

TEST(FtpListingTest, MlsdFactLines) {
    const std::string text =
        "type=cdir;sizd=4096;modify=20240615100000;perm=flcdmpe; .\r\n"
        "type=pdir;sizd=4096;modify=20240615100000;perm=flcdmpe; ..\r\n"
        "type=file;size=156;modify=20071029155301;perm=r;unique=8012;UNIX.mode=0644; music; mp3 #1.txt\r\n"
        "type=dir;size=0;modify=20071127230206.123;perm=el;unique=801e33;unix.mode=755; e books\r\n"
        "Type=File;Size=7;Modify=20240615100001;UNIX.MODE=04750; .profile\r\n"
        "modify=20240615100002;size=3;type=OS.unix=slink:/etc/x; link\r\n"
        "type=OS.unix=chr-13/29;size=0; device\r\n"
        "type=file;size=1;modify=20240615100003; a/b\r\n"
        "type=file;size=1;modify=20240615100004;  leading space\r\n"
        "type=file;size=1;modify=bad; no time\r\n"
        "type=file;size=1;modify=20230229120000; not a leap year\r\n"
        "type=file;size=1; no fact\r\n"
        "type=file;size=1;UNIX.mode=0789; octal 8\r\n"
        "type=file;size=1;UNIX.mode=17777; too big\r\n"
        "type=file;size=1;UNIX.mode=; empty mode\r\n"
        "type=file;size=1;UNIX.mode=rw-r--r--; letters\r\n"
        "type=file;size=1;UNIX.mode=0007777; leading zeros\r\n";
    FtpListing listing;
    ParseMlsdListing(text, listing);
    // name, directory, size, time, permission bits
    const std::tuple<std::string, bool, int64_t, int64_t, int> expected[] = {
        {"music; mp3 #1.txt", false, 156, UtcSeconds(2007, 10, 29, 15, 53, 1), 0644},
        {"e books", true, 0, UtcSeconds(2007, 11, 27, 23, 2, 6), 0755},
        {".profile", false, 7, UtcSeconds(2024, 6, 15, 10, 0, 1), 04750},
        {"link", false, 3, UtcSeconds(2024, 6, 15, 10, 0, 2), -1},
        {" leading space", false, 1, UtcSeconds(2024, 6, 15, 10, 0, 4), -1},
        {"no time", false, 1, kUnknownServerTime, -1},
        {"not a leap year", false, 1, kUnknownServerTime, -1},
        {"no fact", false, 1, kUnknownServerTime, -1},
        {"octal 8", false, 1, kUnknownServerTime, -1},
        {"too big", false, 1, kUnknownServerTime, -1},
        {"empty mode", false, 1, kUnknownServerTime, -1},
        {"letters", false, 1, kUnknownServerTime, -1},
        {"leading zeros", false, 1, kUnknownServerTime, 07777}};
    ASSERT_EQ(listing.entries.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const FtpEntry& e = listing.entries[i];
        EXPECT_EQ(std::tie(e.name, e.isDirectory, e.size, e.lastWriteTime, e.mode), expected[i]);
        EXPECT_EQ(e.hidden, e.name == ".profile") << e.name;
    }
    EXPECT_EQ(listing.rejectedNames, (std::vector<std::string>{"a/b"}));
}

}  // namespace
}  // namespace kestrum
