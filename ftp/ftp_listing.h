#pragma once
// Parsers for FTP directory listings: MLSD/MLST fact lines (RFC 3659) and the
// free-form LIST output of Unix and DOS style servers. Times are read as UTC.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/ftp_client.h"

namespace kestrum {

// One line of a listing as understood by a parser.
struct ParsedListLine {
    std::string name;
    bool isDirectory = false;
    int64_t size = -1;
    int64_t lastWriteTime = 0;
    TimePrecision precision = TimePrecision::Second;
    int mode = -1;  // permission bits; -1 when the line gives none that can be read
};

// A "type=file;size=1;modify=20240101120000; name" line. Nothing for lines that
// are not entries of the directory itself (cdir, pdir, devices, malformed). A
// missing or impossible modify fact gives kUnknownServerTime. The permission
// bits come from a UNIX.mode fact ("0755" or "755", octal).
std::optional<ParsedListLine> ParseMlsxLine(std::string_view line);

// One line of LIST output in Unix ("-rw-r--r-- 1 o g 5 Jan  5 12:34 name") or
// DOS ("01-05-24  12:34PM  <DIR>  name") form. Unix dates may also come in
// Japanese-locale form ("3月  5日 12:34", "3月  5日 2003年", "3月 5 2003") or
// as ISO date and time ("2003-03-05 12:34[:56]"); blanks may precede the mode,
// and an ACL or attribute marker may follow it; the mode string gives the
// permission bits (s/S, t/T: setuid, setgid, sticky; none for a link).
// Year-less dates get the year that puts them no more than a day after nowUtc.
// Nothing for lines that hold no entry (see below) and lines that cannot be read.
std::optional<ParsedListLine> ParseListLine(std::string_view line, int64_t nowUtc);

// Whether a LIST line holds no entry by design: blank, "total 48" (also in
// Japanese-locale form), or a special file (device, pipe, socket, door).
bool IsListLineWithoutEntry(std::string_view line);

// An RFC 3659 time-val ("YYYYMMDDHHMMSS[.sss]", UTC), as in an MLSx modify
// fact or an MDTM reply. Nothing when it is not a possible time.
std::optional<int64_t> ParseTimeVal(std::string_view value);

// Adds a parsed line to a listing: a name holding "/", "\" or a control byte
// (NUL, TAB, CR, LF, ESC, ...), a name over 1024 bytes, or a file named "." or
// "..", goes to rejectedNames; the directory entries "." and ".." are dropped.
void AddListedEntry(FtpListing& listing, ParsedListLine line);

// Whole listings as received on the data connection (lines end in CR LF or LF).
// A LIST line that is neither read nor without entry goes to unparsedLines.
void ParseMlsdListing(std::string_view text, FtpListing& listing);
void ParseListListing(std::string_view text, int64_t nowUtc, FtpListing& listing);

// Seconds since the epoch of a UTC calendar time (proleptic Gregorian).
int64_t UtcSeconds(int year, int month, int day, int hour, int minute, int second);

}  // namespace kestrum
