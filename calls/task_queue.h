#pragma once

// The controller's queue of tasks, run one at a time and in order on its own thread. Any thread
// may post; once Finish was asked, what is posted or still waiting is dropped.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace quorell::calls {

class TaskQueue {
public:
    using Task = std::function<void()>;

    // False (the task dropped) once Finish was asked.
    bool Post(Task task);
    // Ends the loop after the task it runs now (if any); waiting tasks are dropped.
    void Finish();
    bool Finishing() const;
    // The loop, on the controller's thread: runs tasks until Finish, then `last` once.
    void Run(const std::function<void()>& last);

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool finishing_ = false;
};

}  // namespace quorell::calls
