#pragma once

// Pieces shared by the stream server tests.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/errors.h"
#include "net/tcp_server.h"
#include "support/raw_tcp.h"

namespace quorell::net {

// A gate that handlers wait at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;

    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
    bool Wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, [&] { return open; });
    }
};

// Lines and failures seen by server handlers, collected thread-safely.
struct Seen {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::string> failures;

    void Line(std::string s) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::move(s));
    }
    void Failure(std::string s) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(std::move(s));
    }
    std::size_t LineCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.size();
    }
    std::size_t FailureCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return failures.size();
    }
};

// What a control-line sender does: connect (from `source`, a loopback address, when given), write
// everything, close; true when all of it went.
inline bool SendAndClose(int port, const char* source, const std::string& bytes) {
    using namespace std::chrono_literals;
    test::ClientSocket s = test::StartConnectLoopback(port, "127.0.0.1", source);
    if (!s || !test::ConnectCompleted(s.fd(), 5s)) return false;
    fcntl(s.fd(), F_SETFL, 0);
    return s.SendAll(bytes);
}

inline void StartOnLoopback(TcpServer& server) {
    server.BindAddress = "127.0.0.1";
    server.DefaultPort = 0;
    server.SetActive(true);
    ASSERT_GT(server.LocalPort(), 0);
}

// Reads every line of a connection into `seen`, recording how reading ended.
inline TcpServer::ConnectHandler Collector(std::shared_ptr<Seen> seen) {
    return [seen](ServerConnection& conn) {
        try {
            while (true) seen->Line(conn.ReceiveLine());
        } catch (const Error& e) {
            seen->Failure(e.what());
            throw;
        }
    };
}

}  // namespace quorell::net
