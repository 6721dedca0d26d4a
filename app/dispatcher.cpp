#include "app/dispatcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/control_lines.h"
#include "common/errors.h"
#include "common/text.h"

namespace quorell {

namespace {

constexpr std::size_t kPrefixLength = 7;  // "system1" and its kin

}  // namespace

LineKind ClassifyFirstLine(const std::string& line) {
    const std::string_view head = std::string_view(line).substr(0, kPrefixLength);
    if (head == "system1") return LineKind::VideoPort;
    if (head == "system3") return LineKind::VoicePort;
    if (head == "system2") return LineKind::Address;
    if (line == lines::Wire(lines::kFileOffered)) return LineKind::FileOffered;
    if (line == lines::Wire(lines::kFileCancelled)) return LineKind::FileCancelled;
    if (line == lines::Wire(lines::kVideoClosed)) return LineKind::VideoClosed;
    if (line == lines::Wire(lines::kFileAccepted)) return LineKind::FileAccepted;
    if (line == lines::Wire(lines::kConnected)) return LineKind::Connected;
    return LineKind::Chat;
}

bool ParseVideoPortLine(const std::string& line, long* port) {
    const std::string rest = ReplaceAll(line, lines::kVideoPortPrefix, "");
    // A decimal whole number: leading blanks, an optional sign, digits and nothing after them.
    std::size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    std::size_t digits = i;
    if (digits < rest.size() && (rest[digits] == '+' || rest[digits] == '-')) ++digits;
    if (digits >= rest.size()) return false;
    for (std::size_t k = digits; k < rest.size(); ++k) {
        if (rest[k] < '0' || rest[k] > '9') return false;
    }
    errno = 0;
    const long long value = std::strtoll(rest.c_str() + i, nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    *port = static_cast<long>(value);
    return true;
}

std::string VoicePortFromLine(const std::string& line) {
    return Trimmed(ReplaceAll(line, lines::kVoicePortPrefix, ""));
}

std::string SourceAddress(const net::ServerConnection& conn) {
    if (conn.SourceIPv4() == 0) return SourceAddress(conn.fd());
    in_addr address{};
    address.s_addr = conn.SourceIPv4();
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return {};
    return text;
}

std::string SourceAddress(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) return {};
    return text;
}

void DispatchConnection(net::ServerConnection& conn, UiBridge& bridge,
                        const WindowRef<IDispatchTarget>& target) {
    std::string line = conn.ReceiveLine();
    switch (ClassifyFirstLine(line)) {
        case LineKind::VideoPort: {
            long port = 0;
            if (!ParseVideoPortLine(line, &port)) throw Error("'" + line + "' is not a number");
            bridge.Invoke([&] { target.Get().SetPeerVideoPort(port); });
            return;
        }
        case LineKind::VoicePort: {
            const std::string port = VoicePortFromLine(line);
            bridge.Invoke([&] { target.Get().SetPeerVoicePort(port); });
            return;
        }
        case LineKind::Address:
            return;
        case LineKind::FileOffered:
            bridge.Invoke(
                [&, source = SourceAddress(conn)] { target.Get().PeerOfferedFile(source); });
            break;
        case LineKind::FileCancelled:
            bridge.Invoke([&] { target.Get().PeerCancelledFile(); });
            break;
        case LineKind::VideoClosed:
            bridge.Invoke([&] { target.Get().PeerClosedVideo(); });
            break;
        case LineKind::FileAccepted:
            bridge.Invoke([&] { target.Get().PeerAcceptedFile(line); });
            return;
        case LineKind::Connected: {
            const std::string source = SourceAddress(conn);
            bridge.Invoke([&] { target.Get().PeerConnected(source); });
            break;
        }
        case LineKind::Chat:
            break;
    }
    while (!Trimmed(line).empty()) {
        const std::string shown = ReplaceAll(line, lines::kLineBreakMarker, "\r\n");
        bridge.Invoke([&] { target.Get().ShowIncoming(shown); });
        line = conn.ReceiveLine();
    }
}

}  // namespace quorell
