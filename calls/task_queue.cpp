#include "calls/task_queue.h"

#include <utility>

namespace quorell::calls {

// Both wake the loop under the lock: once the loop may run, the controller may be let go of from
// its own thread (an event handler), the queue with it.
bool TaskQueue::Post(Task task) {
    std::lock_guard lock(mutex_);
    if (finishing_) return false;
    tasks_.push_back(std::move(task));
    wake_.notify_one();
    return true;
}

void TaskQueue::Finish() {
    std::lock_guard lock(mutex_);
    finishing_ = true;
    wake_.notify_one();
}

bool TaskQueue::Finishing() const {
    std::lock_guard lock(mutex_);
    return finishing_;
}

void TaskQueue::Run(const std::function<void()>& last) {
    std::deque<Task> dropped;
    while (true) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return finishing_ || !tasks_.empty(); });
            if (finishing_) {
                dropped = std::exchange(tasks_, {});
                break;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
    // Whatever the dropped tasks hold goes here, with no lock held.
    dropped.clear();
    last();
}

}  // namespace quorell::calls
