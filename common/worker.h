#pragma once

#include <functional>

namespace quorell {

// Starts a detached worker thread running body. The body owns everything it uses (shared
// handles, never plain pointers into the window) and must not throw. Throws std::system_error
// when no thread can be created.
void StartDetachedWorker(std::function<void()> body);

}  // namespace quorell
