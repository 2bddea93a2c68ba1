#pragma once
// Makes a file or directory unwritable, even for root (the immutable flag),
// for the guard's lifetime.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kestrum::test {

class Unwritable {
  public:
    explicit Unwritable(const std::string& path) : path_(path) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            return;
        mode_ = st.st_mode & 07777;
        chmod(path.c_str(), mode_ & ~0222);
        ok_ = access(path.c_str(), W_OK) != 0 || (SetImmutable(true) && access(path.c_str(), W_OK) != 0);
    }
    ~Unwritable() {
        SetImmutable(false);
        chmod(path_.c_str(), mode_);
    }
    Unwritable(const Unwritable&) = delete;
    Unwritable& operator=(const Unwritable&) = delete;
    // False when the file system keeps it writable (the test should skip).
    bool ok() const { return ok_; }

  private:
    bool SetImmutable(bool on) {
        const int fd = open(path_.c_str(), O_RDONLY);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        close(fd);
        return done;
    }
    std::string path_;
    mode_t mode_ = 0600;
    bool ok_ = false;
};

}  // namespace kestrum::test
