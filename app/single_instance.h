#pragma once

#include <QString>
#include <functional>
#include <memory>

class QLocalServer;

namespace quorell {

// One running copy per user: an exclusive lock on a file that the kernel releases when the
// process ends, however it ends. The first copy listens on a local socket beside the lock, so
// that a later one can ask it to come to the front before it goes.
class SingleInstance {
public:
    explicit SingleInstance(const QString& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock.
    bool IsFirst() const { return first_; }
    QString LockPath() const { return path_; }

    // The first copy: on_knock runs, on this thread's event loop, each time a later copy
    // starts. False when the socket cannot be made (the lock still holds).
    bool Listen(std::function<void()> on_knock);
    void StopListening();
    // A later copy: asks the first to show its window. False when it cannot be reached.
    bool KnockOnFirst() const;

private:
    QString path_;
    QString socket_path_;
    std::unique_ptr<QLocalServer> server_;
    int fd_ = -1;
    bool first_ = false;
};

}  // namespace quorell
