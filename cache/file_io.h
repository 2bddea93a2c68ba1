#pragma once
// Whole reads and writes on a file descriptor, and its closing, for the cache files.

#include <sys/types.h>

#include <cstddef>

namespace kestrum {

// Reads exactly size bytes unless the file ends first. Returns the bytes read,
// or -1 on a read error.
ssize_t ReadFull(int fd, char* buffer, size_t size);
bool WriteFull(int fd, const char* data, size_t size);

class ScopedFd {
  public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd();
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }
    // Closes now; false when the close reported an error (a delayed write failure).
    bool Close();

  private:
    int fd_;
};

}  // namespace kestrum
