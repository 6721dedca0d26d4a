// Control-line framing: bytes from a peer, cut into reads as the input says, must come out of
// ServerConnection::ReceiveLine as the lines of the whole byte stream, whatever the cuts.
//
// Input: a header byte (bit 7: put a run of filler before the stream, 16376 + the low four bits
// bytes long, to reach the line-length limit), then pairs read by FuzzedDataProvider: the size
// of the next read from the end of the input, its bytes from the front.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/errors.h"
#include "fuzz_check.h"
#include "line_model.h"
#include "net/tcp_server.h"

namespace {

using quorell::net::ServerConnection;

constexpr std::size_t kMax = ServerConnection::kMaxLineLength;
const std::string kClosed = "Connection Closed Gracefully.";
const std::string kTooLong = "Max line length exceeded.";

// Writes each chunk only once the reader has taken everything before it, so every chunk is a
// read of its own; stops early when the reader is done.
void WriteChunks(int fd, int reader_fd, const std::vector<std::string>& chunks,
                 const std::atomic<bool>& reader_done) {
    for (const std::string& chunk : chunks) {
        while (!reader_done.load()) {
            int unread = 0;
            if (ioctl(reader_fd, FIONREAD, &unread) != 0 || unread == 0) break;
            std::this_thread::yield();
        }
        if (reader_done.load()) break;
        std::size_t at = 0;
        while (at < chunk.size()) {
            const ssize_t n = send(fd, chunk.data() + at, chunk.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return;  // the reader has gone
            at += static_cast<std::size_t>(n);
        }
    }
    shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t header = data[0];
    FuzzedDataProvider provider(data + 1, size - 1);

    std::string stream;
    if (header & 0x80) stream.assign(kMax - 8 + (header & 0x0F), 'x');
    std::vector<std::string> chunks;
    if (!stream.empty()) chunks.push_back(stream);
    while (provider.remaining_bytes() > 0) {
        const auto n = provider.ConsumeIntegralInRange<std::size_t>(1, 2 * kMax);
        std::string chunk = provider.ConsumeBytesAsString(n);
        if (chunk.empty()) break;
        stream += chunk;
        chunks.push_back(std::move(chunk));
    }

    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    auto conn = std::make_unique<ServerConnection>(fds[0], 0);
    std::atomic<bool> reader_done{false};
    std::thread writer(WriteChunks, fds[1], fds[0], std::cref(chunks), std::cref(reader_done));

    std::vector<std::string> got;
    std::string error;
    while (true) {
        try {
            got.push_back(conn->ReceiveLine());
            FUZZ_CHECK(got.size() <= stream.size() + 1);
        } catch (const quorell::Error& e) {
            error = e.what();
            break;
        }
    }
    reader_done.store(true);
    conn->Abort();
    writer.join();
    close(fds[1]);

    const quorell::fuzz::LineOutcome expected = quorell::fuzz::ExpectedLines(stream, kMax);
    FUZZ_CHECK(error == (expected.too_long ? kTooLong : kClosed));
    FUZZ_CHECK(got == expected.lines);
    // Once closed, it stays closed.
    if (error == kClosed) {
        try {
            conn->ReceiveLine();
            FUZZ_CHECK(false);
        } catch (const quorell::Error& e) {
            FUZZ_CHECK(e.what() == kClosed);
        }
    }
    return 0;
}
