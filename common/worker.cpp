#include "common/worker.h"

#include <thread>

namespace quorell {

void StartDetachedWorker(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

}  // namespace quorell
