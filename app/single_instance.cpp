#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace quorell {

namespace {

QString LockFilePath(const QString& name) {
    // The per-user runtime directory: $XDG_RUNTIME_DIR, or a private directory that Qt creates
    // (mode 0700, owned by this user) when the session has none. Never a shared directory, where
    // another user could hold the lock first.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::homePath();
    return QDir(dir).filePath(name + QStringLiteral(".lock"));
}

}  // namespace

SingleInstance::SingleInstance(const QString& name) : path_(LockFilePath(name)) {
    const QByteArray path = QFile::encodeName(path_);
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Without a lock file at all there is nothing to coordinate with: run.
    if (fd_ < 0) {
        first_ = true;
        return;
    }
    first_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace quorell
