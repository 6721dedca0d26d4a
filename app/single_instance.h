#pragma once

#include <QString>

namespace quorell {

// One running copy per user: an exclusive lock on a file that the kernel releases when the
// process ends, however it ends.
class SingleInstance {
public:
    explicit SingleInstance(const QString& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock.
    bool IsFirst() const { return first_; }
    QString LockPath() const { return path_; }

private:
    QString path_;
    int fd_ = -1;
    bool first_ = false;
};

}  // namespace quorell
