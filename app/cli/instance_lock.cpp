#include "app/cli/instance_lock.h"

#include <QCryptographicHash>
#include <QLockFile>
#include <QString>

namespace kestrum {

InstanceLock::InstanceLock(const std::string& programDir)
    : lock_(std::make_unique<QLockFile>(QString::fromStdString(programDir + "/Kestrum.lock"))) {
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

}  // namespace kestrum
