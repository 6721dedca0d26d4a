#include "process_metrics.h"

#include <unistd.h>

#include <filesystem>
#include <set>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quorell::test {

namespace {

using Clock = std::chrono::steady_clock;

// The value after "name:" in /proc/<pid>/status (a count, or kB for sizes).
std::optional<long> StatusField(const std::string& status, const std::string& name) {
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
        try {
            return std::stol(line.substr(name.size() + 1));
        } catch (...) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::string ReadProcFile(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<ProcessSample> SampleProcess(pid_t pid) {
    ProcessSample sample;
    sample.at = Clock::now();
    const std::string status = ReadProcFile(pid, "status");
    const auto threads = StatusField(status, "Threads");
    const auto rss = StatusField(status, "VmRSS");  // absent for a zombie
    if (!threads || !rss) return std::nullopt;
    sample.threads = static_cast<int>(*threads);
    sample.rss_kib = *rss;
    std::error_code error;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && fd != end; fd.increment(error)) {
        ++sample.descriptors;
    }

    // The command name in brackets may hold blanks and brackets; the fields after the last ')'
    // start with the state, and utime and stime are the 12th and 13th of them.
    const std::string stat = ReadProcFile(pid, "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) utime = std::atoll(field.c_str());
        if (i == 13) stime = std::atoll(field.c_str());
    }
    if (!fields) return std::nullopt;
    sample.cpu_ticks = utime + stime;
    return sample;
}

int HeldConnections(pid_t pid, int port) {
    // The process's sockets by inode, then the established ones of them on the port.
    std::set<std::string> inodes;
    std::error_code error;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && fd != end; fd.increment(error)) {
        const std::string target = std::filesystem::read_symlink(fd->path(), error).string();
        if (!error && target.compare(0, 8, "socket:[") == 0) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    char local_port[8];
    std::snprintf(local_port, sizeof local_port, ":%04X", port);
    std::istringstream table(ReadProcFile(pid, "net/tcp"));
    std::string line;
    std::getline(table, line);  // the heading
    int held = 0;
    while (std::getline(table, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
        std::istringstream fields(line);
        std::string sl, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> sl >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        const bool on_port =
            local.size() > 5 && local.compare(local.size() - 5, 5, local_port) == 0;
        if (on_port && state == "01" && inodes.count(inode) != 0) ++held;
    }
    return held;
}

PhaseMeter::PhaseMeter(pid_t pid, std::chrono::milliseconds interval) : pid_(pid) {
    Take();
    sampler_ = std::thread([this, interval] {
        while (!stop_.load()) {
            std::this_thread::sleep_for(interval);
            Take();
        }
    });
}

PhaseMeter::~PhaseMeter() {
    stop_.store(true);
    if (sampler_.joinable()) sampler_.join();
}

void PhaseMeter::Take() {
    const auto sample = SampleProcess(pid_);
    if (!sample) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!first_) first_ = sample;
    last_ = sample;
    peak_threads_ = std::max(peak_threads_, sample->threads);
    peak_descriptors_ = std::max(peak_descriptors_, sample->descriptors);
    peak_rss_kib_ = std::max(peak_rss_kib_, sample->rss_kib);
}

PhaseFigures PhaseMeter::Finish(const std::string& phase) {
    stop_.store(true);
    if (sampler_.joinable()) sampler_.join();
    Take();
    std::lock_guard<std::mutex> lock(mutex_);
    PhaseFigures figures;
    figures.phase = phase;
    if (!first_ || !last_) return figures;
    figures.threads = peak_threads_;
    figures.descriptors = peak_descriptors_;
    figures.rss_mib = static_cast<double>(peak_rss_kib_) / 1024.0;
    const double seconds = std::chrono::duration<double>(last_->at - first_->at).count();
    const double ticks = static_cast<double>(last_->cpu_ticks - first_->cpu_ticks);
    if (seconds > 0) {
        figures.cpu_percent = 100.0 * ticks / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    }
    return figures;
}

PhaseFigures MeasureIdle(pid_t pid, const std::string& phase, std::chrono::milliseconds duration) {
    PhaseMeter meter(pid);
    std::this_thread::sleep_for(duration);
    return meter.Finish(phase);
}

const PhaseFigures& FigureTable::Add(PhaseFigures figures) {
    rows_.push_back(std::move(figures));
    return rows_.back();
}

std::string FigureTable::Render() const {
    std::string text = "\n" + title_ + "\n";
    char line[160];
    std::snprintf(line, sizeof line, "  %-28s %8s %12s %10s %7s\n", "phase", "threads",
                  "descriptors", "VmRSS MiB", "CPU %");
    text += line;
    for (const PhaseFigures& row : rows_) {
        std::snprintf(line, sizeof line, "  %-28s %8d %12d %10.1f %7.1f\n", row.phase.c_str(),
                      row.threads, row.descriptors, row.rss_mib, row.cpu_percent);
        text += line;
    }
    return text;
}

}  // namespace quorell::test
