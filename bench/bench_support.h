// Small pieces shared by the benchmarks: summaries of measured samples and process figures.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quorell::bench {

using Clock = std::chrono::steady_clock;

inline double MicrosBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// The p-th percentile (0..100) by the nearest-rank method; samples need not be sorted.
inline double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(samples.size()));
    const std::size_t index =
        rank < 1 ? 0 : std::min(samples.size() - 1, static_cast<std::size_t>(rank) - 1);
    return samples[index];
}

inline double Median(const std::vector<double>& samples) {
    return Percentile(samples, 50);
}

// A field of /proc/<pid>/status such as "VmRSS" in kB, or -1 when it cannot be read.
inline long StatusFieldKb(const std::string& status_path, const std::string& field) {
    std::ifstream in(status_path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

}  // namespace quorell::bench
