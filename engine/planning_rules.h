#pragma once
// The pure rules the planners, the transfer step and the mirroring deletions
// share: time comparison, path building, name checks and the name index that
// replaces the linear "first record of this name" searches.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "localfs/file_entry.h"

namespace kestrum {

// A server copy with time S is downloaded when it is newer than the local copy
// (time L, brought to the server clock with the offset) by more than the lag.
inline bool ShouldDownload(int64_t serverTime, int64_t localTime, int64_t clockOffset, int timeLagMinutes) {
    return serverTime > localTime + clockOffset + 60 * static_cast<int64_t>(timeLagMinutes);
}
// The mirror image: the local copy is newer by more than the lag. Both bounds
// of the band between the two rules copy nothing.
inline bool ShouldUpload(int64_t serverTime, int64_t localTime, int64_t clockOffset, int timeLagMinutes) {
    return serverTime < localTime + clockOffset - 60 * static_cast<int64_t>(timeLagMinutes);
}

// Whether a server time known only to its day (listed as the day's first
// second) leaves a decision open that the hour could change: only then is its
// exact time worth asking for. upload and download say which decisions count.
inline bool DayLeavesDecisionOpen(int64_t serverDay, int64_t localTime, int64_t clockOffset, int timeLagMinutes,
                                  bool upload, bool download) {
    const int64_t lastSecond = serverDay + 86399;
    return (upload && ShouldUpload(serverDay, localTime, clockOffset, timeLagMinutes) !=
                          ShouldUpload(lastSecond, localTime, clockOffset, timeLagMinutes)) ||
           (download && ShouldDownload(serverDay, localTime, clockOffset, timeLagMinutes) !=
                            ShouldDownload(lastSecond, localTime, clockOffset, timeLagMinutes));
}

// The directory prefixes of a relative name, shortest first, cut at every
// separator sep: "a/b/c.txt" gives "a" and "a/b". A top-level name gives none.
std::vector<std::string> DirectoryPrefixes(std::string_view name, char sep);

// The top-level directory of a relative name in server form ("" for a top-level file).
std::string TopLevelDirectory(std::string_view serverName);

// dir + "/" (unless dir is empty or already ends with "/") + name in local form;
// dir is taken as it stands.
std::string LocalPathOf(const std::string& dir, const std::string& name);

// Whether a server-form relative name may be used for a local path: not empty,
// not absolute, no empty component, no "." or ".." component, no "\" and no NUL.
bool IsSafeServerName(std::string_view name);

// Whether path lies at or below dir (both relative, server form, compared with
// ASCII letters folded). An empty dir stands for the home directory: everything
// lies below it.
bool IsAtOrBelow(std::string_view path, std::string_view dir);

// The first of dirs that path lies at or below; nullptr when none.
const std::string* FindEnclosingDirectory(std::string_view path, const std::vector<std::string>& dirs);

// Pairs the names of one list (own) with the records of another: the same
// name first; otherwise the other list's only name that differs in letter case
// alone (ASCII letters folded, multibyte characters byte for byte), when own
// holds no other name of that kind either. Any more variants make the match
// ambiguous: on a case-sensitive side they are different files, on a
// case-insensitive one a copy would land on the wrong one.
class NameMatcher {
  public:
    NameMatcher(const FileList& own, const FileList& other);

    struct Match {
        long index = -1;         // the other list's record; -1 when none
        bool ambiguous = false;  // unmatched because of letter-case variants
    };
    Match Find(std::string_view name) const;

  private:
    struct Group {
        long first = -1;
        int count = 0;
    };
    std::unordered_map<std::string, long> exact_;
    std::unordered_map<std::string, Group> otherFolded_;
    std::unordered_map<std::string, int> ownFolded_;
};

}  // namespace kestrum
