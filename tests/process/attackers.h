#pragma once

// Hostile clients on loopback: crowds of idle connections from chosen source addresses, and
// floods that run on threads of their own until they are stopped.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/raw_tcp.h"

namespace quorell::test {

// A connect under way from source (a loopback address, any free port) to 127.0.0.1:port; the
// socket is non-blocking. Invalid when the socket could not even be made.
ClientSocket StartConnectFrom(const char* source, int port);

// A blocking connection from source to 127.0.0.1:port made within timeout, or an invalid
// socket. Writes give up after ten seconds.
ClientSocket ConnectLoopbackFrom(const char* source, int port, std::chrono::milliseconds timeout);

// Raises this process's limit of open descriptors to at least wanted, as far as the hard limit
// allows.
void RaiseDescriptorLimit(std::uint64_t wanted);

// Many connections to 127.0.0.1:port made all at once, spread over the source addresses in
// turn, that never send a byte unless told to.
class IdleCrowd {
public:
    IdleCrowd(int port, const std::vector<std::string>& sources, int count);
    ~IdleCrowd() = default;
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;

    // Sockets that could not even be started.
    int failed_to_start() const { return failed_to_start_; }
    // Waits up to timeout for every connect to finish; how many succeeded (and were not reset
    // by then).
    int Connected(std::chrono::milliseconds timeout);
    // Writes bytes on every established connection, as far as each takes them without waiting.
    void SendOnEach(const std::string& bytes);
    // Closes every connection.
    void Release() { sockets_.clear(); }

private:
    std::vector<ClientSocket> sockets_;
    std::vector<bool> connected_;
    int failed_to_start_ = 0;
};

// Runs body on `threads` threads until Stop() (or destruction). body gets its thread's index and
// the stop flag, and returns how many operations it made on one pass; it is called again and
// again until the flag is set.
class Flood {
public:
    using Body = std::function<std::uint64_t(int index, const std::atomic<bool>& stop)>;

    Flood(int threads, Body body);
    ~Flood();
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

    // Stops the threads and waits for them; the operations made in all.
    std::uint64_t Stop();

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> operations_{0};
    std::vector<std::thread> threads_;
};

// Random bytes from a seed.
std::string RandomBytes(std::size_t count, unsigned seed);

}  // namespace quorell::test
