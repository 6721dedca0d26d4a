#include "app/qt_bridge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

namespace quorell {

namespace {

class DrainEvent : public QEvent {
public:
    static QEvent::Type Kind() {
        static const auto kind = static_cast<QEvent::Type>(QEvent::registerEventType());
        return kind;
    }
    DrainEvent() : QEvent(Kind()) {}
};

// Runs the bridge's hand-offs when the event loop delivers a drain event.
class DrainReceiver : public QObject {
public:
    std::weak_ptr<UiBridge> bridge;

    bool event(QEvent* e) override {
        if (e->type() != DrainEvent::Kind()) return QObject::event(e);
        if (auto b = bridge.lock()) b->Drain();
        return true;
    }
};

}  // namespace

std::shared_ptr<UiBridge> MakeQtUiBridge() {
    // The receiver belongs to the application object. The bridge must be closed before the
    // application object goes (main() does so); after Close() the waker is never called again.
    auto* receiver = new DrainReceiver;
    receiver->setParent(QCoreApplication::instance());
    auto bridge = std::make_shared<UiBridge>(
        [receiver] { QCoreApplication::postEvent(receiver, new DrainEvent); });
    receiver->bridge = bridge;
    return bridge;
}

}  // namespace quorell
