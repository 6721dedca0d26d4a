// The control-line dispatcher: one connection's bytes, as a peer writes them, go through the
// real framing and DispatchConnection against a recording window; what the window is told must
// be what the lines of the connection call for. The pure classification of a line is checked on
// the whole input as well.
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "app/dispatcher.h"
#include "common/control_lines.h"
#include "common/errors.h"
#include "common/text.h"
#include "fuzz_check.h"
#include "line_model.h"

namespace {

using namespace quorell;

struct RecordingTarget : IDispatchTarget {
    void SetPeerVideoPort(long port) override { log.push_back("video " + std::to_string(port)); }
    void SetPeerVoicePort(const std::string& port) override { log.push_back("voice " + port); }
    void PeerOfferedFile(const std::string&) override { log.push_back("offered"); }
    void PeerCancelledFile() override { log.push_back("cancelled"); }
    void PeerClosedVideo() override { log.push_back("video closed"); }
    void PeerConnected(const std::string& source) override { log.push_back("connected " + source); }
    void PeerAcceptedFile(const std::string& line) override { log.push_back("accepted " + line); }
    void ShowIncoming(const std::string& line) override { log.push_back("show " + line); }
    std::vector<std::string> log;
};

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "system1:" taken out, then blanks, an optional sign and at least one digit up to the end, in
// the range of a 32-bit integer.
bool ExpectedVideoPort(const std::string& line, long* port) {
    std::string rest;
    for (std::size_t i = 0; i < line.size();) {
        if (line.compare(i, 8, "system1:") == 0) {
            i += 8;
        } else {
            rest.push_back(line[i++]);
        }
    }
    std::size_t i = rest.find_first_not_of(' ');
    if (i == std::string::npos) return false;
    bool negative = false;
    if (rest[i] == '+' || rest[i] == '-') negative = rest[i++] == '-';
    if (i == rest.size()) return false;
    long long value = 0;
    for (; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        value = value * 10 + (rest[i] - '0');
        if (value > 1LL << 32) value = 1LL << 32;  // far out of range either way
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return false;
    *port = static_cast<long>(value);
    return true;
}

// What the window should be told for a connection with these lines.
std::vector<std::string> ExpectedLog(const std::vector<std::string>& lines) {
    std::vector<std::string> log;
    if (lines.empty()) return log;
    const std::string& first = lines[0];
    if (StartsWith(first, "system1")) {
        long port = 0;
        if (ExpectedVideoPort(first, &port)) log.push_back("video " + std::to_string(port));
        return log;
    }
    if (StartsWith(first, "system3")) {
        log.push_back("voice " + Trimmed(ReplaceAll(first, "system3:", "")));
        return log;
    }
    if (StartsWith(first, "system2")) return log;
    if (first == lines::Wire(lines::kFileAccepted)) {
        log.push_back("accepted " + first);
        return log;
    }
    if (first == lines::Wire(lines::kFileOffered)) log.push_back("offered");
    if (first == lines::Wire(lines::kFileCancelled)) log.push_back("cancelled");
    if (first == lines::Wire(lines::kVideoClosed)) log.push_back("video closed");
    // A socket pair has no IPv4 source address.
    if (first == lines::Wire(lines::kConnected)) log.push_back("connected ");
    for (const std::string& line : lines) {
        if (Trimmed(line).empty()) break;
        log.push_back("show " + ReplaceAll(line, "/@@", "\r\n"));
    }
    return log;
}

void CheckPureFunctions(const std::string& line) {
    const LineKind kind = ClassifyFirstLine(line);
    if (StartsWith(line, "system1")) FUZZ_CHECK(kind == LineKind::VideoPort);
    if (StartsWith(line, "system3")) FUZZ_CHECK(kind == LineKind::VoicePort);
    if (StartsWith(line, "system2")) FUZZ_CHECK(kind == LineKind::Address);
    if (line.size() < 7 || line.compare(0, 6, "system") != 0) {
        FUZZ_CHECK(kind != LineKind::VideoPort && kind != LineKind::VoicePort &&
                   kind != LineKind::Address);
    }
    long port = -1;
    long expected = -2;
    const bool parsed = ParseVideoPortLine(line, &port);
    FUZZ_CHECK(parsed == ExpectedVideoPort(line, &expected));
    if (parsed) FUZZ_CHECK(port == expected);
    const std::string voice = VoicePortFromLine(line);
    FUZZ_CHECK(voice == Trimmed(voice));
    FUZZ_CHECK(voice.size() <= line.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckPureFunctions(bytes);

    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    FUZZ_CHECK(send(fds[1], bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size()));
    close(fds[1]);

    UiBridge bridge([] {});  // this thread is the user-interface thread: hand-offs run inline
    RecordingTarget target;
    const WindowRef<IDispatchTarget> ref(&target);
    {
        net::ServerConnection conn(fds[0], 0);
        try {
            DispatchConnection(conn, bridge, ref);
        } catch (const Error&) {
            // The connection ends silently; what happened before stays.
        }
    }
    const fuzz::LineOutcome framed =
        fuzz::ExpectedLines(bytes, net::ServerConnection::kMaxLineLength);
    FUZZ_CHECK(target.log == ExpectedLog(framed.lines));
    return 0;
}
