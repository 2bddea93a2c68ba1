#pragma once
// One copy of the program per program directory: the window, `run` and
// `align` take this lock; a second one is refused while the first holds it.

#include <memory>
#include <string>

class QLockFile;

namespace kestrum {

class InstanceLock {
  public:
    explicit InstanceLock(const std::string& programDir);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock; false when another live copy holds it (a stale lock of a
    // crashed copy is taken over).
    bool TryAcquire();
    bool Held() const { return held_; }
    // Why TryAcquire failed: empty when another live copy holds the lock,
    // otherwise the system's reason the directory takes no lock file
    // (missing, not writable, full).
    std::string FailureReason() const;
    // The local socket name of the window holding this program directory.
    std::string ServerName() const { return serverName_; }

  private:
    std::string programDir_;
    std::unique_ptr<QLockFile> lock_;
    std::string serverName_;
    bool held_ = false;
};

}  // namespace kestrum
