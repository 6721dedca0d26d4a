#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace quorell {

namespace {

QString RuntimeFile(const QString& name) {
    // The per-user runtime directory: $XDG_RUNTIME_DIR, or a private directory that Qt creates
    // (mode 0700, owned by this user) when the session has none. Never a shared directory, where
    // another user could hold the lock first.
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::homePath();
    return QDir(dir).filePath(name);
}

}  // namespace

SingleInstance::SingleInstance(const QString& name)
    : path_(RuntimeFile(name + QStringLiteral(".lock"))),
      socket_path_(RuntimeFile(name + QStringLiteral(".socket"))) {
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
    StopListening();  // its socket file goes before the lock is let go
    if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::Listen(std::function<void()> on_knock) {
    // Only a copy that holds the lock may take the socket over; one that runs without a lock
    // file could be replacing another's.
    if (fd_ < 0 || !first_ || server_) return false;
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left by a copy that was killed: ours to replace, as we hold the lock.
    QLocalServer::removeServer(socket_path_);
    if (!server_->listen(socket_path_)) {
        server_.reset();
        return false;
    }
    // The connection is the whole message; nothing is read from it.
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                     [server = server_.get(), on_knock = std::move(on_knock)] {
                         while (QLocalSocket* socket = server->nextPendingConnection()) {
                             socket->abort();
                             socket->deleteLater();
                             on_knock();
                         }
                     });
    return true;
}

void SingleInstance::StopListening() {
    server_.reset();
}

bool SingleInstance::KnockOnFirst() const {
    QLocalSocket socket;
    socket.connectToServer(socket_path_);
    const bool reached = socket.waitForConnected(1000);
    socket.abort();
    return reached;
}

}  // namespace quorell
