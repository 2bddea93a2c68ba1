#pragma once
// The change-cache file of a profile, CACHE/<profile> in the program
// directory: a header naming the profile, then one record per local file (its
// relative name and last write time). This is the file format alone; what a
// run reads from it and writes to it lives with the run.

#include <string>

#include "localfs/file_entry.h"

namespace kestrum {

inline constexpr char kCacheMagic[] = "Quillmoor Kestrum - File System 1.0";
inline constexpr size_t kCacheHeaderSize = 60;
inline constexpr size_t kCacheRecordSize = 259;

std::string CacheFilePath(const std::string& programDir, const std::string& profileName);
// Whether a profile's cache file can exist: a non-empty name of at most 20
// bytes that is a single file name ("/", NUL, "." and ".." are not).
bool IsCacheableProfileName(const std::string& profileName);

// Read: 1 when the header is valid and names profileName (out then holds the
// complete records), 0 otherwise. Write: creates programDir/CACHE when missing
// and replaces the file only when it was written completely; records whose
// name or time do not fit are left out. 1 when written.
int ReadChangeCacheFile(const std::string& path, const std::string& profileName, FileList& out);
int WriteChangeCacheFile(const std::string& programDir, const std::string& profileName, const FileList& records);

}  // namespace kestrum
