// Small pieces shared by the benchmarks: fakes for the window's seams, waiting on the event
// loop, and summaries of measured samples.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/devices.h"
#include "app/dialogs.h"

namespace quorell::bench {

using Clock = std::chrono::steady_clock;

inline double MicrosBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// Boxes are counted, never shown: a modal box would stall an offscreen run.
class CountingDialogs : public IDialogs {
public:
    void UnreachablePeerBox() override { ++unreachable; }
    void PlainBox(const QString& text) override {
        ++plain;
        last_text = text;
    }
    void StandardErrorBox(const QString& message) override {
        ++errors;
        last_text = message;
    }
    QString OpenFileName() override { return {}; }
    QString SaveFileName(const QString&) override { return {}; }

    int unreachable = 0;
    int plain = 0;
    int errors = 0;
    QString last_text;
};

// Counts rings and notes when the latest one happened. Runs on the user-interface thread.
class CountingRingPlayer : public IRingPlayer {
public:
    void Play(const QString&) override {
        last_ring = Clock::now();
        ++rings;
        if (on_ring) on_ring();
    }
    int rings = 0;
    Clock::time_point last_ring{};
    std::function<void()> on_ring;
};

// Serves the event loop (and with it the bridge's hand-offs) until pred() holds or the time is
// up. Sleeps in the event loop rather than spinning, so the measured threads keep the CPU.
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    QTimer tick;  // wakes the loop now and then to look at the deadline
    tick.start(20);
    while (!pred()) {
        if (Clock::now() >= deadline) return pred();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
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
