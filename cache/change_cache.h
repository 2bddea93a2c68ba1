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
int SaveChangeCache(RunContext& ctx);
// Keeps only new and newer local files in state.localFiles: 1 when any is left.
int DetectLocalChanges(RunContext& ctx);

std::string CacheFilePath(const std::string& programDir, const std::string& profileName);

}  // namespace kestrum
