#pragma once

// What a running process costs, read from /proc: threads, resident memory and processor time,
// and a small table of them per phase of a test, for figures a reader can quote.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorell::test {

struct ProcessSample {
    int threads = 0;
    int descriptors = 0;
    long rss_kib = 0;
    long long cpu_ticks = 0;  // user + system time, in clock ticks
    std::chrono::steady_clock::time_point at;
};

// The process's figures now; nothing once it has gone (or while it is a zombie).
std::optional<ProcessSample> SampleProcess(pid_t pid);

// Established TCP connections on local port `port` whose sockets the process holds open. (A
// client's connect may complete while the process never sees the connection: the system does
// the handshake for the listen queue and may drop it there.)
int HeldConnections(pid_t pid, int port);

// The figures of one phase: the highest thread count, descriptor count and resident size seen,
// and the processor time used per second of the phase, in percent of one core.
struct PhaseFigures {
    std::string phase;
    int threads = 0;
    int descriptors = 0;
    double rss_mib = 0;
    double cpu_percent = 0;
};

// Samples a process every few milliseconds on a thread of its own from construction until
// Finish(), keeping the peaks.
class PhaseMeter {
public:
    explicit PhaseMeter(pid_t pid,
                        std::chrono::milliseconds interval = std::chrono::milliseconds(50));
    ~PhaseMeter();
    PhaseMeter(const PhaseMeter&) = delete;
    PhaseMeter& operator=(const PhaseMeter&) = delete;

    // Stops sampling and returns the phase's figures (all zero when the process was never seen).
    PhaseFigures Finish(const std::string& phase);

private:
    void Take();

    pid_t pid_;
    std::mutex mutex_;
    std::optional<ProcessSample> first_;
    std::optional<ProcessSample> last_;
    int peak_threads_ = 0;
    int peak_descriptors_ = 0;
    long peak_rss_kib_ = 0;
    std::atomic<bool> stop_{false};
    std::thread sampler_;
};

// A quiet phase: the process left to itself for duration.
PhaseFigures MeasureIdle(pid_t pid, const std::string& phase,
                         std::chrono::milliseconds duration = std::chrono::milliseconds(1000));

// The phases of one attack, printed as one table.
class FigureTable {
public:
    explicit FigureTable(std::string title) : title_(std::move(title)) {}
    const PhaseFigures& Add(PhaseFigures figures);
    const std::vector<PhaseFigures>& rows() const { return rows_; }
    std::string Render() const;

private:
    std::string title_;
    std::vector<PhaseFigures> rows_;
};

}  // namespace quorell::test
