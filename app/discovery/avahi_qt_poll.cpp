#include "discovery/avahi_qt_poll.h"

#include <avahi-common/timeval.h>

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <memory>

// Avahi frees watches and time-outs from inside their own callbacks. Such an object is only
// marked dead then, and goes when its callback returns; the Qt objects are disabled at once
// and deleted by the event loop.
struct QtObjectDeleter {
    void operator()(QObject* object) const {
        if (object == nullptr) return;
        object->disconnect();
        // Off now: the descriptor may be closed before the event loop deletes the object.
        if (auto* notifier = qobject_cast<QSocketNotifier*>(object)) notifier->setEnabled(false);
        if (auto* timer = qobject_cast<QTimer*>(object)) timer->stop();
        object->deleteLater();
    }
};

struct AvahiWatch {
    int fd = -1;
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    AvahiWatchEvent requested{};
    AvahiWatchEvent happened{};  // during the callback only
    bool dispatching = false;
    bool dead = false;
    std::unique_ptr<QSocketNotifier, QtObjectDeleter> read;
    std::unique_ptr<QSocketNotifier, QtObjectDeleter> write;
};

struct AvahiTimeout {
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    bool dispatching = false;
    bool dead = false;
    std::unique_ptr<QTimer, QtObjectDeleter> timer;
};

namespace quorell {
namespace {

void Dispatch(AvahiWatch* w, AvahiWatchEvent event) {
    if (w->dead || w->dispatching) return;
    w->dispatching = true;
    w->happened = event;
    w->callback(w, w->fd, event, w->userdata);
    w->dispatching = false;
    w->happened = AvahiWatchEvent{};
    if (w->dead) delete w;
}

void WatchUpdate(AvahiWatch* w, AvahiWatchEvent event) {
    w->requested = event;
    w->read->setEnabled((event & (AVAHI_WATCH_IN | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP)) != 0);
    w->write->setEnabled((event & AVAHI_WATCH_OUT) != 0);
}

AvahiWatch* WatchNew(const AvahiPoll*, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                     void* userdata) {
    auto* w = new AvahiWatch;
    w->fd = fd;
    w->callback = callback;
    w->userdata = userdata;
    // Made disabled: the bus library keeps a read and a write watch on one descriptor, and Qt
    // takes only one enabled notifier of a kind per descriptor.
    w->read.reset(new QSocketNotifier(QSocketNotifier::Read));
    w->read->setSocket(fd);
    w->write.reset(new QSocketNotifier(QSocketNotifier::Write));
    w->write->setSocket(fd);
    // Qt's dispatcher wakes a read notifier for a hang-up or an error as well; the library
    // reads the descriptor and finds out which.
    QObject::connect(w->read.get(), &QSocketNotifier::activated, [w] {
        Dispatch(w, static_cast<AvahiWatchEvent>(w->requested & AVAHI_WATCH_IN ? AVAHI_WATCH_IN
                                                                               : AVAHI_WATCH_HUP));
    });
    QObject::connect(w->write.get(), &QSocketNotifier::activated,
                     [w] { Dispatch(w, AVAHI_WATCH_OUT); });
    WatchUpdate(w, event);
    return w;
}

AvahiWatchEvent WatchGetEvents(AvahiWatch* w) {
    return w->happened;
}

void WatchFree(AvahiWatch* w) {
    w->read.reset();
    w->write.reset();
    if (w->dispatching) {
        w->dead = true;
    } else {
        delete w;
    }
}

void TimeoutUpdate(AvahiTimeout* t, const struct timeval* tv) {
    if (tv == nullptr) {
        t->timer->stop();
        return;
    }
    // avahi_age() is how long ago the moment was, in microseconds: negative for one to come.
    const AvahiUsec age = avahi_age(tv);
    const AvahiUsec wait_ms = age >= 0 ? 0 : (-age + 999) / 1000;
    t->timer->start(static_cast<int>(std::min<AvahiUsec>(wait_ms, 24LL * 3600 * 1000)));
}

AvahiTimeout* TimeoutNew(const AvahiPoll*, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto* t = new AvahiTimeout;
    t->callback = callback;
    t->userdata = userdata;
    t->timer.reset(new QTimer);
    t->timer->setSingleShot(true);
    t->timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(t->timer.get(), &QTimer::timeout, [t] {
        if (t->dead || t->dispatching) return;
        t->dispatching = true;
        t->callback(t, t->userdata);
        t->dispatching = false;
        if (t->dead) delete t;
    });
    TimeoutUpdate(t, tv);
    return t;
}

void TimeoutFree(AvahiTimeout* t) {
    t->timer.reset();
    if (t->dispatching) {
        t->dead = true;
    } else {
        delete t;
    }
}

}  // namespace

AvahiQtPoll::AvahiQtPoll() {
    api_.userdata = this;
    api_.watch_new = WatchNew;
    api_.watch_update = WatchUpdate;
    api_.watch_get_events = WatchGetEvents;
    api_.watch_free = WatchFree;
    api_.timeout_new = TimeoutNew;
    api_.timeout_update = TimeoutUpdate;
    api_.timeout_free = TimeoutFree;
}

}  // namespace quorell
