// The control-line parser: any bytes taken as the first line of a connection must come apart
// exactly as a model written here independently says (the seven-byte prefix tests, the exact
// system messages, chat), and a recognised system message must encode back to the same bytes.
// The whole input is taken as one line, and so is the first line a connection with these bytes
// would read; the lines such a connection brings are then dispatched, and the chat lines shown
// must be exactly the lines up to the first blank one.
#include <climits>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/text.h"
#include "common/ui_bridge.h"
#include "fuzz_check.h"
#include "line_model.h"
#include "links/control_dispatcher.h"
#include "net/tcp_server.h"
#include "protocol/control_lines.h"

namespace {

using namespace quorell;
using protocol::LineKind;

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string WithoutEvery(const std::string& line, const std::string& prefix) {
    std::string rest;
    for (std::size_t i = 0; i < line.size();) {
        if (line.compare(i, prefix.size(), prefix) == 0) {
            i += prefix.size();
        } else {
            rest.push_back(line[i++]);
        }
    }
    return rest;
}

// Blanks, an optional sign and at least one digit up to the end, in the range of a 32-bit
// integer.
bool ExpectedVideoPort(const std::string& rest, long* port) {
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

const std::pair<LineKind, const char*> kMessages[] = {
    {LineKind::Connected, lines::kConnected},
    {LineKind::VideoOpened, lines::kVideoOpened},
    {LineKind::VideoClosed, lines::kVideoClosed},
    {LineKind::VideoReceiving, lines::kVideoReceiving},
    {LineKind::VideoNotReceiving, lines::kVideoNotReceiving},
    {LineKind::FileOffered, lines::kFileOffered},
    {LineKind::FileAccepted, lines::kFileAccepted},
    {LineKind::FileCancelled, lines::kFileCancelled},
    {LineKind::FileCompleted, lines::kFileCompleted},
    {LineKind::VoiceOffered, lines::kVoiceOffered},
    {LineKind::VoiceStopped, lines::kVoiceStopped},
    {LineKind::VoiceReceiving, lines::kVoiceReceiving},
    {LineKind::VoiceNotReceiving, lines::kVoiceNotReceiving},
};

void CheckParse(const std::string& line) {
    const protocol::ControlLine parsed = protocol::Parse(line);
    if (StartsWith(line, "system1")) {
        FUZZ_CHECK(parsed.kind == LineKind::VideoPort);
        const std::string rest = WithoutEvery(line, "system1:");
        FUZZ_CHECK(parsed.value == rest);
        long expected = -1;
        FUZZ_CHECK(parsed.port_valid == ExpectedVideoPort(rest, &expected));
        if (parsed.port_valid) FUZZ_CHECK(parsed.video_port == expected);
        return;
    }
    if (StartsWith(line, "system3")) {
        FUZZ_CHECK(parsed.kind == LineKind::VoicePort);
        FUZZ_CHECK(parsed.value == Trimmed(WithoutEvery(line, "system3:")));
        return;
    }
    if (StartsWith(line, "system2")) {
        FUZZ_CHECK(parsed.kind == LineKind::Address);
        FUZZ_CHECK(parsed.value == Trimmed(WithoutEvery(line, "system2:")));
        return;
    }
    for (const auto& [kind, text] : kMessages) {
        if (line != lines::Wire(text)) continue;
        FUZZ_CHECK(parsed.kind == kind);
        FUZZ_CHECK(parsed.value.empty());
        FUZZ_CHECK(protocol::Encode(kind) == line);
        return;
    }
    FUZZ_CHECK(parsed.kind == LineKind::Chat);
    FUZZ_CHECK(parsed.value == ReplaceAll(line, "/@@", "\r\n"));
}

// Counts the lines shown; every other event only has to arrive.
struct ShownLines : IControlEvents {
    void SetPeerVideoPort(long) override {}
    void SetPeerVoicePort(const std::string&) override {}
    void PeerOfferedFile(const std::string&) override {}
    void PeerCancelledFile() override {}
    void PeerClosedVideo() override {}
    void PeerConnected(const std::string&) override {}
    void PeerAcceptedFile(const std::string&) override {}
    void ShowIncoming(const std::string&) override { ++shown; }
    std::size_t shown = 0;
};

void CheckDispatch(const std::vector<std::string>& lines) {
    static UiBridge bridge(nullptr);
    ShownLines events;
    const WindowRef<IControlEvents> target(&events);
    LineFeed feed(std::deque<std::string>(lines.begin(), lines.end()), "127.0.0.1");
    try {
        DispatchLines(feed, bridge, target);
    } catch (const Error&) {
        FUZZ_CHECK(protocol::Parse(lines.front()).kind == LineKind::VideoPort);
        return;
    }
    std::size_t expected = 0;
    switch (protocol::Parse(lines.front()).kind) {
        case LineKind::VideoPort:
        case LineKind::VoicePort:
        case LineKind::Address:
        case LineKind::FileAccepted:
            break;
        default:
            while (expected < lines.size() && !Trimmed(lines[expected]).empty()) ++expected;
    }
    FUZZ_CHECK(events.shown == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckParse(bytes);
    const fuzz::LineOutcome framed =
        fuzz::ExpectedLines(bytes, net::ServerConnection::kMaxLineLength);
    if (!framed.lines.empty()) {
        CheckParse(framed.lines.front());
        CheckDispatch(framed.lines);
    }
    return 0;
}
