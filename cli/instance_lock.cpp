#include "cli/instance_lock.h"

#include <QCryptographicHash>
#include <QLockFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrum {

InstanceLock::InstanceLock(const std::string& programDir)
    : programDir_(programDir),
      lock_(std::make_unique<QLockFile>(QString::fromStdString(programDir + "/Kestrum.lock"))) {
    lock_->setStaleLockTime(0);  // stale only when the holding process is gone
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(programDir), QCryptographicHash::Sha1).toHex().left(16);
    serverName_ = "Quill Moor - Kestrum-" + hash.toStdString();
}

InstanceLock::~InstanceLock() {
    if (held_)
        lock_->unlock();
}

bool InstanceLock::TryAcquire() {
    if (held_)
        return true;
    held_ = lock_->tryLock(0);
    return held_;
}

std::string InstanceLock::FailureReason() const {
    if (held_ || lock_->error() == QLockFile::LockFailedError)
        return {};
    // QLockFile keeps the system's reason to itself: a file of our own is
    // made and written once to learn it.
    const std::string probe = programDir_ + "/.kestrum-write-check-" + std::to_string(getpid());
    int error = 0;
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno;
    } else {
        if (write(fd, "x", 1) != 1 || fsync(fd) != 0)
            error = errno != 0 ? errno : ENOSPC;
        close(fd);
        unlink(probe.c_str());
    }
    return std::strerror(error != 0 ? error : EIO);
}

}  // namespace kestrum
