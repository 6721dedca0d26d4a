#pragma once

#include <memory>

#include "common/errors.h"

namespace quorell {

// How a worker thread names the window it works for. Workers may outlive the window, so they
// hold this shared handle and call Get() only inside hand-offs to the user-interface thread;
// the window resets it there when it goes, and later hand-offs then fail instead of touching it.
template <class T>
class WindowRef {
public:
    explicit WindowRef(T* window) : window_(window) {}
    T& Get() const {
        if (window_ == nullptr) throw Error("The window is closed.");
        return *window_;
    }
    void Reset() { window_ = nullptr; }

private:
    T* window_;
};

template <class T>
using SharedWindowRef = std::shared_ptr<WindowRef<T>>;

}  // namespace quorell
