#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QStandardPaths>

namespace quorell {

namespace {

QString LockFilePath(const QString& name) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists()) {
        return QDir(QString::fromLocal8Bit(runtime)).filePath(name + QStringLiteral(".lock"));
    }
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("%1-%2.lock").arg(name).arg(static_cast<qulonglong>(getuid())));
}

}  // namespace

SingleInstance::SingleInstance(const QString& name) : path_(LockFilePath(name)) {
    const QByteArray path = QFile::encodeName(path_);
    fd_ = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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
