#pragma once

#include <string>
#include <string_view>

namespace quorell::net {

// Stream client: one connection at a time, opened, written to and closed by its user. It does
// no locking of its own; callers serialise every complete use.
class TcpClient {
public:
    TcpClient() = default;
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    ~TcpClient();

    std::string Host;
    int Port = 0;
    // Local address the connection leaves from; empty for any local address.
    std::string BindAddress;
    // Upper bound on a connect attempt in milliseconds; 0 leaves it to the system.
    int ConnectTimeout = 21000;

    // Connects to Host:Port. Throws "Already connected." when connected, SocketError when the
    // name cannot be resolved, the peer refuses, or the attempt times out (no connection is
    // held afterwards).
    void OpenConnection();
    bool IsConnected() const { return fd_ >= 0; }
    // Writes text + CR LF and returns once every byte is handed to the system. Throws
    // "Not Connected" without a connection; on a socket error closes and throws SocketError.
    void SendLine(std::string_view text);
    // Shuts down the sending direction, then closes. Harmless without a connection.
    void CloseConnection();

private:
    void CloseSocket();
    int fd_ = -1;
};

}  // namespace quorell::net
