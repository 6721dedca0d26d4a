#pragma once

#include <chrono>
#include <functional>

namespace quorell {
class UiBridge;
}

namespace quorell::test {

// The one bounded wait of the tests and benchmarks: waits until pred() holds or the time runs
// out, and returns pred() at the end. Meanwhile it serves the Qt event loop when there is an
// application object (which also runs a Qt bridge's hand-offs), and the given bridge's
// hand-offs when there is one. It sleeps in the event loop rather than spinning, so measured
// threads keep the processor.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10),
               UiBridge* bridge = nullptr);

// Serves the same for a while, for checks that something did NOT happen.
void Settle(std::chrono::milliseconds time = std::chrono::milliseconds(300),
            UiBridge* bridge = nullptr);

}  // namespace quorell::test
