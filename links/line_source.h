#pragma once

#include <deque>
#include <string>
#include <utility>

#include "net/tcp_server.h"

namespace quorell {

// Where the control lines of one connection come from.
class ILineSource {
public:
    virtual ~ILineSource();
    // The next line without its line end; false once there are no more lines. A failure to
    // read throws.
    virtual bool ReadLine(std::string& line) = 0;
    // The dotted IPv4 address the lines came from, or "" when that is unknown.
    virtual std::string SourceAddress() = 0;
};

// The lines of an accepted control connection. Its end and every read failure throw, as the
// connection's ReceiveLine does.
class ConnectionLineSource : public ILineSource {
public:
    explicit ConnectionLineSource(net::ServerConnection& conn) : conn_(conn) {}
    bool ReadLine(std::string& line) override;
    std::string SourceAddress() override;

private:
    net::ServerConnection& conn_;
};

// Lines held in memory, as if one connection from source_address had sent them.
class LineFeed : public ILineSource {
public:
    LineFeed(std::deque<std::string> lines, std::string source_address)
        : lines_(std::move(lines)), source_(std::move(source_address)) {}
    bool ReadLine(std::string& line) override;
    std::string SourceAddress() override { return source_; }

private:
    std::deque<std::string> lines_;
    std::string source_;
};

// The dotted IPv4 address a connected socket's peer has, or "" when it has none.
std::string SourceAddress(int fd);
// The dotted IPv4 address a connection came from, even when it has no descriptor any more.
std::string SourceAddress(const net::ServerConnection& conn);

}  // namespace quorell
