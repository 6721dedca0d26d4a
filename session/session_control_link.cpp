#include "session/session_control_link.h"

#include <charconv>
#include <utility>

#include "common/gbk.h"
#include "protocol/control_lines.h"

namespace quorell::session {

namespace {

using protocol::LineKind;

struct Pair {
    LineKind kind;
    EventCode code;
};

// Every notice with its event, both ways. The address is absent: it is never sent, and an
// address told over a session would change nothing here either.
constexpr Pair kPairs[] = {
    {LineKind::Connected, EventCode::kConnected},
    {LineKind::VideoPort, EventCode::kVideoPort},
    {LineKind::VoicePort, EventCode::kVoicePort},
    {LineKind::VideoOpened, EventCode::kVideoStarted},
    {LineKind::VideoClosed, EventCode::kVideoStopped},
    {LineKind::VideoReceiving, EventCode::kVideoReceiving},
    {LineKind::VideoNotReceiving, EventCode::kVideoNotReceiving},
    {LineKind::FileOffered, EventCode::kFileOffered},
    {LineKind::FileAccepted, EventCode::kFileAccepted},
    {LineKind::FileCancelled, EventCode::kFileCancelled},
    {LineKind::FileCompleted, EventCode::kFileCompleted},
    {LineKind::VoiceOffered, EventCode::kVoiceStarted},
    {LineKind::VoiceStopped, EventCode::kVoiceStopped},
    {LineKind::VoiceReceiving, EventCode::kVoiceReceiving},
    {LineKind::VoiceNotReceiving, EventCode::kVoiceNotReceiving},
};

std::optional<std::uint32_t> PortValue(const std::string& text) {
    std::uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<Message> MessageForLine(const std::string& line) {
    const protocol::ControlLine parsed = protocol::Parse(line);
    switch (parsed.kind) {
        case LineKind::Chat:
            return Chat{GbkToUtf8(parsed.value)};
        case LineKind::Connected:
        case LineKind::Address:
            return std::nullopt;
        case LineKind::VideoPort: {
            Event event{EventCode::kVideoPort, std::nullopt};
            if (parsed.port_valid && parsed.video_port >= 0) {
                event.value = static_cast<std::uint32_t>(parsed.video_port);
            }
            return event;
        }
        case LineKind::VoicePort:
            return Event{EventCode::kVoicePort, PortValue(parsed.value)};
        default:
            for (const Pair& pair : kPairs) {
                if (pair.kind == parsed.kind) return Event{pair.code, std::nullopt};
            }
            return std::nullopt;
    }
}

std::optional<std::string> LineForEvent(const Event& event) {
    // A file declined reads here as the plain protocol's cancel: the receiver did not take it.
    const EventCode code =
        event.code == EventCode::kFileDeclined ? EventCode::kFileCancelled : event.code;
    for (const Pair& pair : kPairs) {
        if (pair.code != code) continue;
        std::string value;
        if ((pair.kind == LineKind::VideoPort || pair.kind == LineKind::VoicePort) && event.value) {
            value = std::to_string(*event.value);
        }
        return protocol::Encode(pair.kind, value);
    }
    return std::nullopt;
}

bool SessionControlLink::SendControlLine(const std::string& line) {
    const std::optional<Message> message = MessageForLine(line);
    if (!message) return true;
    return session_->Send(*message);
}

}  // namespace quorell::session
