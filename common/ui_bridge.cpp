#include "common/ui_bridge.h"

namespace quorell {

UiBridge::UiBridge(Waker waker)
    : ui_thread_(std::this_thread::get_id()), waker_(std::move(waker)) {}

void UiBridge::Invoke(std::function<void()> fn) {
    if (IsUiThread()) {
        fn();
        return;
    }
    auto task = std::make_shared<Task>();
    task->fn = std::move(fn);
    {
        std::lock_guard lock(mu_);
        if (closed_) throw UiBridgeClosed();
        queue_.push_back(task);
        // Under the lock, so that once Close() has returned no thread touches the waker (and
        // whatever it posts to) again.
        if (waker_) waker_();
    }
    queued_cv_.notify_all();
    std::unique_lock lock(mu_);
    finished_cv_.wait(lock, [&] { return task->finished || task->refused; });
    if (task->refused) throw UiBridgeClosed();
    if (task->error) std::rethrow_exception(task->error);
}

void UiBridge::Drain() {
    // Only what is pending now. Hand-offs queued while these run have woken the event loop and
    // wait for its next call: threads that hand off one closure after another (a connection
    // streaming lines) must not keep the loop from its own events, painting, input and the
    // termination signals among them, for as long as they go on.
    std::size_t pending = 0;
    {
        std::lock_guard lock(mu_);
        pending = queue_.size();
    }
    for (; pending > 0; --pending) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard lock(mu_);
            if (queue_.empty() || closed_) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        std::exception_ptr error;
        try {
            task->fn();
        } catch (...) {
            error = std::current_exception();
        }
        // The closure's captures go away here, on this thread, while the caller still waits
        // (they may refer to its stack) and without the lock (their destructors may use us).
        task->fn = nullptr;
        {
            std::lock_guard lock(mu_);
            task->error = std::move(error);
            task->finished = true;
            // From here the waiting caller holds the last reference, so the task and the
            // exception it carries are released on the caller's side after it has used them.
            task.reset();
        }
        finished_cv_.notify_all();
    }
}

bool UiBridge::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain();
        if (done()) return true;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return done();
        // Wake for a new hand-off at once; otherwise look at the condition again shortly. Once
        // closed, nothing is queued any more and this is a plain poll of done().
        std::unique_lock lock(mu_);
        queued_cv_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(5)),
                              [&] { return !queue_.empty(); });
    }
}

void UiBridge::Close() {
    std::deque<std::shared_ptr<Task>> refused;
    {
        std::lock_guard lock(mu_);
        closed_ = true;
        refused.swap(queue_);
    }
    // Drop the refused closures before their callers resume and unwind the stacks they may
    // refer to, and outside the lock, as Drain() does.
    for (auto& task : refused) task->fn = nullptr;
    {
        std::lock_guard lock(mu_);
        for (auto& task : refused) task->refused = true;
    }
    finished_cv_.notify_all();
    queued_cv_.notify_all();
}

bool UiBridge::IsClosed() const {
    std::lock_guard lock(mu_);
    return closed_;
}

bool WaitServingBridge(UiBridge* bridge, const std::function<bool()>& done,
                       std::chrono::milliseconds timeout) {
    if (bridge != nullptr && bridge->IsUiThread()) return bridge->PumpUntil(done, timeout);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quorell
