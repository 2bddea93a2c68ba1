#include "cache/file_io.h"

#include <unistd.h>

#include <cerrno>

namespace kestrum {

// Reads exactly size bytes unless the file ends first. Returns the bytes read,
// or -1 on a read error.
ssize_t ReadFull(int fd, char* buffer, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, buffer + done, size - done);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

ScopedFd::~ScopedFd() {
    if (fd_ >= 0)
        close(fd_);
}

bool ScopedFd::Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
}

}  // namespace kestrum
