#include "app/startup_config.h"

#include <chrono>
#include <random>

namespace quorell {

int DrawFromClock() {
    const auto ticks = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::mt19937 generator(static_cast<std::mt19937::result_type>(ticks));
    return std::uniform_int_distribution<int>(0, 9999)(generator);
}

}  // namespace quorell
