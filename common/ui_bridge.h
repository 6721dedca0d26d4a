#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

#include "errors.h"

namespace quorell {

// Raised in a thread whose hand-off the bridge refused because the program is closing.
class UiBridgeClosed : public Error {
public:
    UiBridgeClosed() : Error("The user-interface thread no longer takes work.") {}
};

// The one way other threads reach the user-interface thread.
//
// Invoke() runs a closure on the user-interface thread and waits until it has run; an exception
// it throws is rethrown in the caller. On the user-interface thread itself the closure runs
// inline. The user-interface toolkit supplies a waker that makes its event loop call Drain()
// soon; PumpUntil() lets the user-interface thread keep serving hand-offs while it waits for
// another thread. Close() refuses pending and later hand-offs so no thread blocks the end.
class UiBridge {
public:
    using Waker = std::function<void()>;

    // Must be constructed on the user-interface thread.
    explicit UiBridge(Waker waker);
    UiBridge(const UiBridge&) = delete;
    UiBridge& operator=(const UiBridge&) = delete;

    bool IsUiThread() const { return std::this_thread::get_id() == ui_thread_; }

    void Invoke(std::function<void()> fn);

    // Invoke() for a closure that returns a value.
    template <class F>
    auto Call(F&& f) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            Invoke(std::function<void()>(std::forward<F>(f)));
        } else {
            std::optional<R> result;
            Invoke([&] { result.emplace(f()); });
            return std::move(*result);
        }
    }

    // User-interface thread: runs every hand-off pending now. Those queued meanwhile have
    // called the waker and are left for the next call.
    void Drain();

    // User-interface thread: serves hand-offs until done() holds or the timeout passes.
    // Returns done() at the end.
    bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Refuses every pending and later hand-off from other threads.
    void Close();
    bool IsClosed() const;

private:
    struct Task {
        std::function<void()> fn;
        std::exception_ptr error;
        bool finished = false;
        bool refused = false;
    };

    std::thread::id ui_thread_;
    Waker waker_;
    mutable std::mutex mu_;
    std::condition_variable finished_cv_;  // a task finished or was refused
    std::condition_variable queued_cv_;    // a task was queued
    std::deque<std::shared_ptr<Task>> queue_;
    bool closed_ = false;
};

// Waits until done() holds or the timeout passes, and returns done() at the end. On the
// user-interface thread of `bridge` it serves hand-offs meanwhile, because the thread being
// waited for may itself be waiting for this one; on any other thread, or without a bridge, it
// just polls. Every stop of a threaded server waits through this.
bool WaitServingBridge(UiBridge* bridge, const std::function<bool()>& done,
                       std::chrono::milliseconds timeout);

}  // namespace quorell
