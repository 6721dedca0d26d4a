#include "session/call_messages.h"

#include "session/call_message_parse.h"
#include "session/message.h"
#include "session/wire_fields.h"

namespace quorell::session {
namespace {

using namespace wire;

bool IsMedia(std::uint8_t media) {
    return media == static_cast<std::uint8_t>(CallMedia::kVoice) ||
           media == static_cast<std::uint8_t>(CallMedia::kVideo);
}
bool IsSdpKind(std::uint8_t kind) {
    return kind == static_cast<std::uint8_t>(SdpKind::kOffer) ||
           kind == static_cast<std::uint8_t>(SdpKind::kAnswer);
}
// A text that must not be empty: an SDP or a candidate.
bool FilledFits(const std::string& text, std::size_t limit) {
    return !text.empty() && TextFits(text, limit);
}

// The payload of one message; false when a field is not one this version may send.
struct CallWriter {
    std::string& out;

    bool operator()(const CallInvite& m) {
        if (!IsMedia(static_cast<std::uint8_t>(m.media))) return false;
        PutU64(out, m.call);
        PutU8(out, static_cast<std::uint8_t>(m.media));
        return true;
    }
    bool operator()(const CallAccept& m) {
        PutU64(out, m.call);
        return true;
    }
    bool operator()(const CallDecline& m) {
        if (!TextFits(m.text, kMaxCallTextBytes)) return false;
        PutU64(out, m.call);
        PutU16(out, static_cast<std::uint16_t>(m.reason));
        PutText(out, m.text);
        return true;
    }
    bool operator()(const CallDescription& m) {
        if (!IsSdpKind(static_cast<std::uint8_t>(m.kind)) || !FilledFits(m.sdp, kMaxSdpBytes))
            return false;
        PutU64(out, m.call);
        PutU8(out, static_cast<std::uint8_t>(m.kind));
        PutText(out, m.sdp);
        return true;
    }
    bool operator()(const CallCandidate& m) {
        if (m.mline > kMaxMline || !FilledFits(m.text, kMaxCandidateBytes)) return false;
        PutU64(out, m.call);
        PutU32(out, m.mline);
        PutText(out, m.text);
        return true;
    }
    bool operator()(const CallStop& m) {
        if (!TextFits(m.text, kMaxCallTextBytes)) return false;
        PutU64(out, m.call);
        PutText(out, m.text);
        return true;
    }
};

// A text of 1 to limit bytes.
std::string Filled(PayloadParser& p, std::size_t limit) {
    std::string text = p.Text(limit);
    if (p.ok() && text.empty()) p.Fail(ReadError::kMalformed);
    return text;
}

}  // namespace

std::string Encode(const CallMessage& message) {
    std::string payload;
    if (!std::visit(CallWriter{payload}, message)) return {};
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    PutU32(out, static_cast<std::uint32_t>(payload.size()));
    PutU16(out, static_cast<std::uint16_t>(static_cast<std::uint16_t>(CallType::kInvite) +
                                           message.index()));
    PutU16(out, 0);
    return out + payload;
}

std::uint64_t CallOf(const CallMessage& message) {
    return std::visit([](const auto& m) { return m.call; }, message);
}

std::size_t HeldSize(const CallMessage& message) {
    if (const auto* d = std::get_if<CallDescription>(&message)) return d->sdp.size();
    if (const auto* c = std::get_if<CallCandidate>(&message)) return c->text.size();
    if (const auto* d = std::get_if<CallDecline>(&message)) return d->text.size();
    if (const auto* s = std::get_if<CallStop>(&message)) return s->text.size();
    return 0;
}

bool IsCallType(std::uint16_t type) {
    return type >= static_cast<std::uint16_t>(CallType::kInvite) &&
           type <= static_cast<std::uint16_t>(CallType::kStop);
}

std::optional<CallMessage> ParseCallPayload(std::uint16_t type, std::string_view bytes,
                                            ReadError& error) {
    PayloadParser p(bytes);
    CallMessage m;
    switch (static_cast<CallType>(type)) {
        case CallType::kInvite: {
            CallInvite i;
            i.call = p.U64();
            const std::uint8_t media = p.U8();
            if (p.ok() && !IsMedia(media)) p.Fail(ReadError::kMalformed);
            i.media = static_cast<CallMedia>(media);
            m = i;
            break;
        }
        case CallType::kAccept:
            m = CallAccept{p.U64()};
            break;
        case CallType::kDecline: {
            CallDecline d;
            d.call = p.U64();
            d.reason = static_cast<CallDeclineReason>(p.U16());
            d.text = p.Text(kMaxCallTextBytes);
            m = std::move(d);
            break;
        }
        case CallType::kDescription: {
            CallDescription d;
            d.call = p.U64();
            const std::uint8_t kind = p.U8();
            if (p.ok() && !IsSdpKind(kind)) p.Fail(ReadError::kMalformed);
            d.kind = static_cast<SdpKind>(kind);
            d.sdp = Filled(p, kMaxSdpBytes);
            m = std::move(d);
            break;
        }
        case CallType::kCandidate: {
            CallCandidate c;
            c.call = p.U64();
            c.mline = p.U32();
            if (p.ok() && c.mline > kMaxMline) p.Fail(ReadError::kMalformed);
            c.text = Filled(p, kMaxCandidateBytes);
            m = std::move(c);
            break;
        }
        case CallType::kStop: {
            CallStop s;
            s.call = p.U64();
            s.text = p.Text(kMaxCallTextBytes);
            m = std::move(s);
            break;
        }
        default:
            p.Fail(ReadError::kMalformed);
            break;
    }
    error = p.error();
    if (error != ReadError::kNone) return std::nullopt;
    return m;
}

}  // namespace quorell::session
