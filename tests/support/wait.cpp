#include "support/wait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <thread>

#include "common/ui_bridge.h"

namespace quorell::test {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
               UiBridge* bridge) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    const bool qt = QCoreApplication::instance() != nullptr;
    const bool pump = bridge != nullptr && bridge->IsUiThread();
    std::unique_ptr<QTimer> tick;
    if (qt) {
        tick = std::make_unique<QTimer>();  // wakes the loop now and then to look at the clock
        tick->start(2);
    }
    while (!pred()) {
        const auto now = Clock::now();
        if (now >= deadline) return pred();
        if (pump) bridge->Drain();
        if (qt) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        } else if (pump) {
            bridge->PumpUntil(
                pred, std::min<std::chrono::milliseconds>(
                          std::chrono::milliseconds(2),
                          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

void Settle(std::chrono::milliseconds time, UiBridge* bridge) {
    WaitUntil([] { return false; }, time, bridge);
}

}  // namespace quorell::test
