#pragma once

// A plain TCP client for talking to a window's control port the way a hostile or foreign
// peer would.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <string_view>

namespace quorell::test {

class RawConnection {
public:
    // With `pending`, the connect is started and not waited for.
    RawConnection(const char* address, int port, bool pending = false) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (pending ? SOCK_NONBLOCK : 0), 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &addr.sin_addr);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
            !(pending && errno == EINPROGRESS)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() { Close(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool Write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Closes with a reset instead of an orderly end.
    void Reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        Close();
    }

private:
    int fd_ = -1;
};

// Writes bytes on a fresh connection and closes it.
inline bool SendRaw(const char* address, int port, std::string_view bytes) {
    RawConnection conn(address, port);
    return conn.ok() && conn.Write(bytes);
}

}  // namespace quorell::test
