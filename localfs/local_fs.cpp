#include "localfs/local_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "res/codepage.h"

namespace kestrum {

namespace {

// The platform's listing order: ASCII letters folded, ties by bytes.
bool ListingOrder(const LocalDirEntry& a, const LocalDirEntry& b) {
    const std::string ua = UpperAscii(a.name);
    const std::string ub = UpperAscii(b.name);
    if (ua != ub)
        return ua < ub;
    return a.name < b.name;
}

class PosixFs final : public LocalFileSystem {
  public:
    bool ListDirectory(const std::string& dir, std::vector<LocalDirEntry>& entries) override {
        entries.clear();
        const std::string path = dir.empty() ? std::string("/") : dir;
        DIR* d = opendir(path.c_str());
        if (d == nullptr)
            return false;
        const int dfd = dirfd(d);
        while (true) {
            errno = 0;
            dirent* e = readdir(d);
            if (e == nullptr)
                break;
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            LocalDirEntry entry;
            entry.name = name;
            entry.hidden = name[0] == '.';
            struct stat st {};
            if (fstatat(dfd, name.c_str(), &st, 0) != 0) {
                struct stat lst {};
                if (fstatat(dfd, name.c_str(), &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(lst.st_mode)) {
                    entry.dangling = true;
                    entries.push_back(std::move(entry));
                }
                continue;
            }
            // Sockets, pipes and devices are not files to synchronise.
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
                continue;
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.lastWriteTime = static_cast<int64_t>(st.st_mtim.tv_sec);
            entry.device = static_cast<uint64_t>(st.st_dev);
            entry.inode = static_cast<uint64_t>(st.st_ino);
            entries.push_back(std::move(entry));
        }
        closedir(d);
        std::sort(entries.begin(), entries.end(), ListingOrder);
        return true;
    }

    std::optional<LocalStatus> GetStatus(const std::string& path) override {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            return std::nullopt;
        LocalStatus status;
        status.isDirectory = S_ISDIR(st.st_mode);
        status.lastWriteTime = static_cast<int64_t>(st.st_mtim.tv_sec);
        status.size = static_cast<int64_t>(st.st_size);
        status.device = static_cast<uint64_t>(st.st_dev);
        status.inode = static_cast<uint64_t>(st.st_ino);
        return status;
    }

    bool SetLastWriteTime(const std::string& path, int64_t time) override {
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = static_cast<time_t>(time);
        times[1].tv_nsec = 0;
        return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
    }

    bool CreateDirectory(const std::string& path) override { return mkdir(path.c_str(), 0777) == 0; }

    bool CreateEmptyFile(const std::string& path) override {
        // Never through a symbolic link: the file named is the one emptied.
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            return false;
        return close(fd) == 0;
    }
};

}  // namespace

LocalFileSystem& PosixFileSystem() {
    static PosixFs fs;
    return fs;
}

std::string JoinLocalPath(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    if (dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

}  // namespace kestrum
