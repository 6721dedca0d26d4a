// Small pieces shared by the benchmarks: summaries of measured samples and process figures,
// temporary folders, loopback addresses and the bare TLS 1.3 stream the session is measured
// against.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quorell {
class Identity;
}

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

// A fresh folder under the system's temporary folder, removed with all it holds.
struct Folder {
    std::string path;
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorell-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
};

inline sockaddr_in At(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// As the session does with its sockets.
inline void NoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Processor seconds (user and system) this process has used so far.
inline double ProcessorSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The ends of a bare TLS 1.3 stream on loopback with the session's certificates and socket
// options (bench_support_tls.cpp; link quorell_session). The receiving end listens on
// 127.0.0.1, tells its port, takes `bytes` and answers one byte; the sending end connects from
// 127.0.0.2, writes `bytes` in 256 KiB pieces and waits for that byte: seconds from its first
// write to the answer, or -1.
bool BareStreamReceive(const Identity& identity, std::uint64_t bytes,
                       const std::function<void(int port)>& listening);
double BareStreamSend(const Identity& identity, int port, std::uint64_t bytes);

}  // namespace quorell::bench
