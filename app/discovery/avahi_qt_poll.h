#pragma once

#include <avahi-common/watch.h>

namespace quorell {

// Runs Avahi's client library on the Qt event loop of the thread that makes it: file
// descriptors are watched with QSocketNotifier and time-outs with QTimer, so every Avahi
// callback comes on that thread and no thread of our own is needed. Every client made on
// Api() must be freed before this object goes.
class AvahiQtPoll {
public:
    AvahiQtPoll();
    AvahiQtPoll(const AvahiQtPoll&) = delete;
    AvahiQtPoll& operator=(const AvahiQtPoll&) = delete;

    const AvahiPoll* Api() const { return &api_; }

private:
    AvahiPoll api_{};
};

}  // namespace quorell
