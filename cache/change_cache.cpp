#include "cache/change_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "cache/file_io.h"

namespace kestrum {

namespace {

constexpr size_t kMagicFieldSize = 40;
constexpr size_t kProfileFieldSize = 20;
constexpr size_t kNameFieldSize = 255;

// The text of a fixed field: up to its first NUL, never past its end.
std::string_view FieldText(const char* field, size_t size) {
    const void* nul = std::memchr(field, '\0', size);
    return std::string_view(field, nul != nullptr ? static_cast<const char*>(nul) - field : size);
}

// A buffered reader: the file is read in large blocks, records are taken from them.
class BlockReader {
  public:
    explicit BlockReader(int fd) : fd_(fd) {}
    // Copies up to size bytes; returns how many, or -1 on a read error.
    ssize_t Read(char* out, size_t size) {
        size_t done = 0;
        while (done < size) {
            if (pos_ == end_) {
                const ssize_t n = ReadFull(fd_, buffer_, sizeof buffer_);
                if (n < 0)
                    return -1;
                if (n == 0)
                    break;
                pos_ = 0;
                end_ = static_cast<size_t>(n);
            }
            const size_t take = std::min(size - done, end_ - pos_);
            std::memcpy(out + done, buffer_ + pos_, take);
            pos_ += take;
            done += take;
        }
        return static_cast<ssize_t>(done);
    }

  private:
    int fd_;
    char buffer_[kCacheRecordSize * 256];
    size_t pos_ = 0;
    size_t end_ = 0;
};

int32_t ReadLe32(const unsigned char* p) {
    const uint32_t v = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                       (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    return static_cast<int32_t>(v);
}

void WriteLe32(unsigned char* p, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// Whether an entry can be stored in a record: the name with its NUL in 255
// bytes, the time in a signed 32-bit field. Other entries are left out of the
// snapshot, so the next run always counts them as changed.
bool FitsRecord(const FileEntry& entry) {
    return !entry.name.empty() && entry.name.size() < kNameFieldSize && entry.name.find('\0') == std::string::npos &&
           entry.lastWriteTime >= INT32_MIN && entry.lastWriteTime <= INT32_MAX;
}

}  // namespace

bool IsCacheableProfileName(const std::string& profileName) {
    return !profileName.empty() && profileName.size() <= kProfileFieldSize && profileName != "." &&
           profileName != ".." && profileName.find('/') == std::string::npos &&
           profileName.find('\0') == std::string::npos;
}

std::string CacheFilePath(const std::string& programDir, const std::string& profileName) {
    return programDir + "/CACHE/" + profileName;
}

int ReadChangeCacheFile(const std::string& path, const std::string& profileName, FileList& out) {
    out.clear();
    // Non-blocking open so that a FIFO in the cache directory cannot hang the run.
    const ScopedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
    if (fd.get() < 0)
        return 0;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;

    BlockReader reader(fd.get());
    char magic[kMagicFieldSize];
    if (reader.Read(magic, sizeof magic) != static_cast<ssize_t>(sizeof magic))
        return 0;
    if (FieldText(magic, sizeof magic) != std::string_view(kCacheMagic))
        return 0;

    char profile[kProfileFieldSize];
    if (reader.Read(profile, sizeof profile) != static_cast<ssize_t>(sizeof profile))
        return 0;
    if (FieldText(profile, sizeof profile) != profileName)
        return 0;

    char record[kCacheRecordSize];
    while (true) {
        const ssize_t n = reader.Read(record, sizeof record);
        if (n < 0) {
            out.clear();
            return 0;
        }
        // A record cut short by the end of the file is not taken.
        if (n < static_cast<ssize_t>(sizeof record))
            break;
        FileEntry entry;
        entry.name = std::string(FieldText(record, kNameFieldSize));
        entry.lastWriteTime = ReadLe32(reinterpret_cast<const unsigned char*>(record + kNameFieldSize));
        out.push_back(std::move(entry));
    }
    return 1;
}

int WriteChangeCacheFile(const std::string& programDir, const std::string& profileName, const FileList& records) {
    // An empty program directory would put CACHE at the file-system root.
    if (programDir.empty() || !IsCacheableProfileName(profileName))
        return 0;

    const std::string dir = programDir + "/CACHE";
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        // The cache lists the user's file names: readable by the user only.
        mkdir(dir.c_str(), 0700);
        if (lstat(dir.c_str(), &st) != 0)
            return 0;
    }
    // A link in CACHE's place is not followed: the file would land wherever it points.
    if (!S_ISDIR(st.st_mode))
        return 0;

    // The new file is written beside the old one and renamed over it only when
    // complete: a failed write (disk full) leaves the previous cache as it was.
    std::string tempPath = dir + "/.cache-XXXXXX";
    ScopedFd fd(mkostemp(tempPath.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return 0;

    std::string data;
    data.reserve(kCacheHeaderSize + kCacheRecordSize * records.size());
    data.append(kCacheMagic, sizeof kCacheMagic - 1);
    data.append(kMagicFieldSize - (sizeof kCacheMagic - 1), '\0');
    data.append(profileName);
    data.append(kProfileFieldSize - profileName.size(), '\0');
    for (const FileEntry& entry : records) {
        if (!FitsRecord(entry))
            continue;
        data.append(entry.name);
        data.append(kNameFieldSize - entry.name.size(), '\0');
        unsigned char time[4];
        WriteLe32(time, static_cast<int32_t>(entry.lastWriteTime));
        data.append(reinterpret_cast<const char*>(time), sizeof time);
    }

    const bool written = WriteFull(fd.get(), data.data(), data.size());
    if (!fd.Close() || !written || rename(tempPath.c_str(), CacheFilePath(programDir, profileName).c_str()) != 0) {
        unlink(tempPath.c_str());
        return 0;
    }
    return 1;
}

}  // namespace kestrum
