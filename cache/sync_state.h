#pragma once
// The side file of a profile's change cache, CACHE/<profile>.kestrum-cache-state
// in the program directory: the place (connection and server directory) the
// cache was made for, and what the last copy of each file left on both sides.
//
// Text, lines ended by LF:
//
//     kestrum-cache-state 1
//     place<TAB>PLACE
//     DIR<TAB>LOCAL_TIME<TAB>LOCAL_SIZE<TAB>SERVER_TIME<TAB>SERVER_SIZE<TAB>PRECISION<TAB>NAME
//     ...
//
// DIR is "u" (upload) or "d" (download); the times and sizes are decimal
// integers, PRECISION 0, 1 or 2. NAME (the last field, whatever the number of
// fields before it) and PLACE are escaped: "\\" for a backslash, "\t", "\n",
// "\r", and "\xHH" (two lower-case hex digits) for any other control byte and
// for every byte that is not part of well-formed UTF-8; all else is as is.
// Readers skip what they cannot read: a line of another kind, a record whose
// fields do not parse, and fields between PRECISION and NAME (room for later
// fields without a new header).

#include <cstdint>
#include <map>
#include <string>

namespace kestrum {

// What the last copy of one file left on both sides.
struct SyncRecord {
    bool upload = true;     // the copy's direction
    int64_t localTime = 0;  // the local file's last write time after the copy (its stamp, or as sent)
    int64_t localSize = -1;
    int64_t serverTime = 0;  // the server copy's time as its listing gives it (the server's clock)
    int64_t serverSize = -1;
    int precision = 0;  // how finely serverTime is known: 0 second, 1 minute, 2 day
};

// The side file of a profile's change cache: the place the cache was made for
// and the sync records, by local relative name (as the local scan forms it).
struct CacheState {
    std::string place;  // "" when not recorded
    std::map<std::string, SyncRecord> records;
};

// programDir/CACHE/<profile>.kestrum-cache-state: always longer than 20 bytes,
// so it can never be another profile's cache file (profile names are at most
// 20 bytes).
std::string CacheStatePath(const std::string& programDir, const std::string& profileName);

// The place a cache describes: connection kind (security 0 to 3), host,
// port, user and server directory, in one string; equal strings mean the same
// place. Readable, URL-like: "ftpes://user@host:21/dir", "sftp://..." (an absolute
// directory) or "ftpes://user@host:21~/dir" (below the login directory; "~"
// alone for the login directory itself). The port is the one host carries
// ("host:port", "[v6]:port"), else port when not 0, else the kind's default;
// the host name's letter case is folded, the directory's is not; a trailing
// "/" of the directory (but the root's) is dropped, "\" read as "/" as the run
// does.
std::string CachePlace(int security, const std::string& host, uint16_t port, const std::string& user,
                       const std::string& serverDir);

// False (out left empty) when the file is missing or its header is not ours;
// lines that cannot be read are skipped.
bool ReadCacheState(const std::string& path, CacheState& out);
// Creates programDir/CACHE when missing and replaces the file atomically
// (temporary file + rename); true when written.
bool WriteCacheState(const std::string& programDir, const std::string& profileName, const CacheState& state);

}  // namespace kestrum
