#pragma once

#include <sys/types.h>
#include <QString>
#include <QTemporaryDir>

namespace quorell::test {

// A session bus of the test's own: a dbus-daemon that activates nothing and allows everything,
// this process's child, ended (and reaped) with the object.
class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon; false, with the reason in why, when it cannot (not installed, or it
    // did not say its address within 10 s).
    bool Start(QString& why);
    // The address to connect to (QDBusConnection::connectToBus).
    const QString& Address() const { return address_; }

private:
    QTemporaryDir dir_;
    QString address_;
    pid_t pid_ = 0;
};

}  // namespace quorell::test
