#include "app/qt_bridge.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QObject>
#include <QSocketNotifier>
#include <cstdint>

namespace quorell {

namespace {

// Wakes the event loop through an eventfd: writing to it allocates nothing and cannot fail in a
// way the caller must handle, and nothing but the bridge's own queue passes between threads.
class DrainNotifier : public QObject {
public:
    explicit DrainNotifier(int fd) : fd_(fd), notifier_(fd, QSocketNotifier::Read, this) {
        connect(&notifier_, &QSocketNotifier::activated, this, [this] {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
            if (auto bridge = this->bridge.lock()) bridge->Drain();
        });
    }
    ~DrainNotifier() override { ::close(fd_); }

    std::weak_ptr<UiBridge> bridge;

private:
    int fd_;
    QSocketNotifier notifier_;
};

}  // namespace

std::shared_ptr<UiBridge> MakeQtUiBridge() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw Error("Cannot create the user-interface wake-up channel.");
    // The notifier belongs to the application object. The bridge must be closed before the
    // application object goes (main() does so); after Close() the waker is never called again.
    auto* notifier = new DrainNotifier(fd);
    notifier->setParent(QCoreApplication::instance());
    auto bridge = std::make_shared<UiBridge>([fd] {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
    });
    notifier->bridge = bridge;
    return bridge;
}

}  // namespace quorell
