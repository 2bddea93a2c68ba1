#pragma once
// The local file layer. Hidden = the name begins with "."; no entry is
// temporary. Times are whole seconds since the epoch.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrum {

struct LocalDirEntry {
    std::string name;
    bool isDirectory = false;  // after following a symbolic link
    bool hidden = false;
    bool dangling = false;  // a symbolic link whose target is missing
    int64_t lastWriteTime = 0;
    uint64_t device = 0;  // of the target, to detect directory loops
    uint64_t inode = 0;
};

struct LocalStatus {
    bool isDirectory = false;
    int64_t lastWriteTime = 0;
    int64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
};

class LocalFileSystem {
  public:
    virtual ~LocalFileSystem() = default;
    // The entries of dir (without "." and ".."), names compared case-insensitively
    // (ASCII letters folded), ties by bytes. False when dir cannot be listed.
    virtual bool ListDirectory(const std::string& dir, std::vector<LocalDirEntry>& entries) = 0;
    // Follows symbolic links; nullopt when the path does not exist or cannot be read.
    virtual std::optional<LocalStatus> GetStatus(const std::string& path) = 0;
    // Sets the modification time only; access time stays.
    virtual bool SetLastWriteTime(const std::string& path, int64_t time) = 0;
    virtual bool CreateDirectory(const std::string& path) = 0;
    // Creates or truncates an empty file; false when path is a symbolic link.
    virtual bool CreateEmptyFile(const std::string& path) = 0;
};

LocalFileSystem& PosixFileSystem();

// dir + "/" + name, without doubling a separator at the end of dir.
std::string JoinLocalPath(const std::string& dir, const std::string& name);

}  // namespace kestrum
