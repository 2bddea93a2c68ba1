#pragma once
// The change-cache file of a profile: CACHE/<profile> in the program directory.

#include <string>

#include "engine/file_entry.h"
#include "engine/run_state.h"

namespace kestrum {

inline constexpr char kCacheMagic[] = "Quillmoor Kestrum - File System 1.0";
inline constexpr size_t kCacheHeaderSize = 60;
inline constexpr size_t kCacheRecordSize = 259;

// Reads the file of the active profile into state.cacheFiles: 1 when read and it
// belongs to the profile, 0 otherwise.
int LoadChangeCache(RunContext& ctx);
// Snapshot of the local tree, written to the profile's file; 1 when written.
// Only a run that reached its end without the error flag writes a snapshot:
// after a cancel or a failure the previous file stays as it is, so what that
// run did not carry out still counts as changed next time. Empties the cache list.
int SaveChangeCache(RunContext& ctx);
// Keeps only new and newer local files in state.localFiles: 1 when any is left.
int DetectLocalChanges(RunContext& ctx);
// Scans localDir into state.cacheFiles with the rules of the local tree scan,
// without logging; nothing is added when localDir cannot be listed.
void SnapshotLocalTree(RunContext& ctx, const std::string& localDir);

std::string CacheFilePath(const std::string& programDir, const std::string& profileName);
// Whether a profile's cache file can exist: a non-empty name of at most 20
// bytes that is a single file name ("/", NUL, "." and ".." are not).
bool IsCacheableProfileName(const std::string& profileName);

// The file itself. Read: 1 when the header is valid and names profileName
// (out then holds the complete records), 0 otherwise. Write: creates
// programDir/CACHE when missing and replaces the file only when it was written
// completely; records whose name or time do not fit are left out. 1 when written.
int ReadChangeCacheFile(const std::string& path, const std::string& profileName, FileList& out);
int WriteChangeCacheFile(const std::string& programDir, const std::string& profileName, const FileList& records);

}  // namespace kestrum
