#include "session/message.h"

#include <algorithm>
#include <type_traits>

#include "session/call_message_parse.h"
#include "session/file_message_parse.h"
#include "session/wire_fields.h"

namespace quorell::session {
namespace {

using namespace wire;

// The payload of one message; false when a field is not one this version may send.
struct PayloadWriter {
    std::string& out;

    bool operator()(const Hello& m) {
        if (m.version == 0 || !TextFits(m.program, kMaxProgramBytes) ||
            m.capabilities.size() > kMaxCapabilities)
            return false;
        PutU16(out, m.version);
        PutText(out, m.program);
        PutU8(out, static_cast<std::uint8_t>(m.capabilities.size()));
        for (const auto& name : m.capabilities) {
            if (!IsCapabilityName(name)) return false;
            PutU8(out, static_cast<std::uint8_t>(name.size()));
            out += name;
        }
        PutU16(out, m.port);
        if (!TextFits(m.name, kMaxNameBytes)) return false;
        PutText(out, m.name);
        return true;
    }
    bool operator()(const Chat& m) {
        if (!TextFits(m.text, kMaxChatBytes)) return false;
        PutText(out, m.text);
        return true;
    }
    bool operator()(const Event& m) {
        PutU16(out, static_cast<std::uint16_t>(m.code));
        PutU8(out, m.value ? 1 : 0);
        if (m.value) PutU32(out, *m.value);
        return true;
    }
    bool operator()(const Ping& m) {
        PutU64(out, m.token);
        return true;
    }
    bool operator()(const Pong& m) {
        PutU64(out, m.token);
        return true;
    }
    bool operator()(const Bye& m) {
        if (!TextFits(m.text, kMaxReasonBytes)) return false;
        PutU16(out, static_cast<std::uint16_t>(m.reason));
        PutText(out, m.text);
        return true;
    }
    bool operator()(const Error& m) {
        if (!TextFits(m.text, kMaxReasonBytes)) return false;
        PutU16(out, static_cast<std::uint16_t>(m.code));
        PutText(out, m.text);
        return true;
    }
    bool operator()(const Commit& m) {
        out.append(m.digest.begin(), m.digest.end());
        return true;
    }
    bool operator()(const Reveal& m) {
        out.append(m.nonce.begin(), m.nonce.end());
        return true;
    }
    bool operator()(const FileMessage&) { return false; }  // encoded by file_messages.cpp
    bool operator()(const CallMessage&) { return false; }  // encoded by call_messages.cpp
};

std::optional<Message> ParsePayload(std::uint16_t raw_type, std::string_view bytes,
                                    ReadError& error, std::string* reuse = nullptr) {
    if (IsFileType(raw_type)) {
        auto file = ParseFilePayload(raw_type, bytes, error, reuse);
        if (!file) return std::nullopt;
        return Message{std::move(*file)};
    }
    if (IsCallType(raw_type)) {
        auto call = ParseCallPayload(raw_type, bytes, error);
        if (!call) return std::nullopt;
        return Message{std::move(*call)};
    }
    const auto type = static_cast<Type>(raw_type);
    PayloadParser p(bytes);
    Message m;
    switch (type) {
        case Type::kHello: {
            Hello h;
            h.version = p.U16();
            if (p.error() == ReadError::kNone && h.version == 0) p.Fail(ReadError::kMalformed);
            h.program = p.Text(kMaxProgramBytes);
            const std::uint8_t count = p.U8();
            if (count > kMaxCapabilities) p.Fail(ReadError::kMalformed);
            for (std::uint8_t i = 0; i < count && p.error() == ReadError::kNone; ++i) {
                std::string name = p.Bytes(p.U8());
                if (p.error() == ReadError::kNone && !IsCapabilityName(name))
                    p.Fail(ReadError::kMalformed);
                h.capabilities.push_back(std::move(name));
            }
            h.port = p.U16();
            h.name = p.Text(kMaxNameBytes);
            m = std::move(h);
            break;
        }
        case Type::kChat:
            m = Chat{p.Text(kMaxChatBytes)};
            break;
        case Type::kEvent: {
            Event e;
            e.code = static_cast<EventCode>(p.U16());
            const std::uint8_t has_value = p.U8();
            if (has_value > 1) p.Fail(ReadError::kMalformed);
            if (has_value == 1) e.value = p.U32();
            m = e;
            break;
        }
        case Type::kPing:
            m = Ping{p.U64()};
            break;
        case Type::kPong:
            m = Pong{p.U64()};
            break;
        case Type::kBye: {
            const auto reason = static_cast<ByeReason>(p.U16());
            m = Bye{reason, p.Text(kMaxReasonBytes)};
            break;
        }
        case Type::kError: {
            const auto code = static_cast<ErrorCode>(p.U16());
            m = Error{code, p.Text(kMaxReasonBytes)};
            break;
        }
        case Type::kCommit:
            m = Commit{p.Fixed32()};
            break;
        case Type::kReveal:
            m = Reveal{p.Fixed32()};
            break;
    }
    error = p.error();
    if (error != ReadError::kNone) return std::nullopt;
    return m;
}

bool IsKnownType(std::uint16_t type) {
    return (type >= static_cast<std::uint16_t>(Type::kHello) &&
            type <= static_cast<std::uint16_t>(Type::kReveal)) ||
           IsFileType(type) || IsCallType(type);
}

}  // namespace

// A core message's type is its place in Message, counted from 1; the file-transfer messages
// and then the call messages come last, each group as one alternative.
static_assert(std::is_same_v<std::variant_alternative_t<0, Message>, Hello>);
static_assert(std::variant_size_v<Message> == static_cast<std::size_t>(Type::kReveal) + 2);
static_assert(std::is_same_v<std::variant_alternative_t<9, Message>, FileMessage>);
static_assert(std::is_same_v<std::variant_alternative_t<10, Message>, CallMessage>);
static_assert(std::is_same_v<std::variant_alternative_t<6, Message>, Error>);
static_assert(std::is_same_v<std::variant_alternative_t<8, Message>, Reveal>);

std::string Encode(const Message& message) {
    if (const auto* file = std::get_if<FileMessage>(&message)) return Encode(*file);
    if (const auto* call = std::get_if<CallMessage>(&message)) return Encode(*call);
    std::string payload;
    if (!std::visit(PayloadWriter{payload}, message)) return {};
    std::string out;
    out.reserve(kHeaderSize + payload.size());
    PutU32(out, static_cast<std::uint32_t>(payload.size()));
    PutU16(out, static_cast<std::uint16_t>(message.index() + 1));
    PutU16(out, 0);
    return out + payload;
}

bool IsWellFormedUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        char32_t c;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            c = b & 0x07;
        } else {
            return false;
        }
        if (text.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF.
        if ((len == 3 && c < 0x800) || (len == 4 && c < 0x10000) || c > 0x10FFFF ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

bool IsCapabilityName(std::string_view name) {
    if (name.empty() || name.size() > kMaxCapabilityBytes) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
               c == '_' || c == '-';
    });
}

ErrorCode ErrorCodeFor(ReadError error) {
    switch (error) {
        case ReadError::kTooLarge:
            return ErrorCode::kTooLarge;
        case ReadError::kBadUtf8:
            return ErrorCode::kBadUtf8;
        case ReadError::kMustUnderstand:
            return ErrorCode::kMustUnderstand;
        case ReadError::kHelloExpected:
            return ErrorCode::kHelloExpected;
        case ReadError::kNone:
        case ReadError::kTruncated:
        case ReadError::kMalformed:
            break;
    }
    return ErrorCode::kMalformed;
}

// A payload buffer larger than this is let go after its message, so that one large message
// does not keep its memory for the rest of the session. A file data message stays under it,
// so that a stream of them reuses one buffer.
constexpr std::size_t kShrinkAbove = 640 * 1024;

std::size_t MessageReader::HeldBytes() const {
    std::size_t held = header_.capacity() + payload_.capacity();
    for (const auto& s : spares_) held += s.capacity();
    return held;
}

void MessageReader::Recycle(std::string bytes) {
    // A turn of the session's reading parses about 1 MiB of messages.
    constexpr std::size_t kSpares = 8;
    if (spares_.size() < kSpares && bytes.capacity() >= 4096 && bytes.capacity() <= kMaxPayload)
        spares_.push_back(std::move(bytes));
}

bool MessageReader::Fail(ReadError error) {
    error_ = error;
    header_.clear();
    payload_.clear();
    payload_.shrink_to_fit();
    return false;
}

bool MessageReader::Finish(std::vector<Message>& out) {
    in_payload_ = false;
    if (!keep_) return true;
    ReadError error = ReadError::kNone;
    std::string reuse;
    if (!spares_.empty()) {
        reuse = std::move(spares_.back());
        spares_.pop_back();
    }
    auto message = ParsePayload(type_, payload_, error, &reuse);
    if (reuse.capacity() >= 4096) spares_.push_back(std::move(reuse));  // not taken
    payload_.clear();
    if (payload_.capacity() > kShrinkAbove) payload_.shrink_to_fit();
    if (!message) return Fail(error);
    const bool is_hello = std::holds_alternative<Hello>(*message);
    if (is_hello == seen_hello_) return Fail(ReadError::kHelloExpected);
    seen_hello_ = true;
    out.push_back(std::move(*message));
    return true;
}

bool MessageReader::Feed(std::string_view bytes, std::vector<Message>& out) {
    if (error_ != ReadError::kNone) return false;
    while (!bytes.empty()) {
        if (!in_payload_) {
            const std::size_t take = std::min(kHeaderSize - header_.size(), bytes.size());
            header_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (header_.size() < kHeaderSize) break;
            PayloadParser h(header_);
            remaining_ = h.U32();
            type_ = h.U16();
            const std::uint16_t flags = h.U16();
            header_.clear();
            if (remaining_ > kMaxPayload) return Fail(ReadError::kTooLarge);
            keep_ = IsKnownType(type_);
            if (!keep_ && (flags & kFlagMustUnderstand)) return Fail(ReadError::kMustUnderstand);
            if (!keep_ && !seen_hello_) return Fail(ReadError::kHelloExpected);
            // The payload grows with the bytes that come, never with what the header
            // declares: a header alone must not cost its declared length.
            in_payload_ = true;
        }
        const std::size_t take = std::min<std::size_t>(remaining_, bytes.size());
        if (keep_) payload_.append(bytes.substr(0, take));
        bytes.remove_prefix(take);
        remaining_ -= static_cast<std::uint32_t>(take);
        if (remaining_ == 0 && !Finish(out)) return false;
    }
    return true;
}

bool Agreement::Has(std::string_view capability) const {
    return std::find(capabilities.begin(), capabilities.end(), capability) != capabilities.end();
}

std::optional<Agreement> Negotiate(const Hello& ours, const Hello& theirs) {
    if (ours.version == 0 || theirs.version == 0) return std::nullopt;
    Agreement a;
    a.version = std::min(ours.version, theirs.version);
    for (const auto& name : ours.capabilities) {
        const bool shared = std::find(theirs.capabilities.begin(), theirs.capabilities.end(),
                                      name) != theirs.capabilities.end();
        if (shared && !a.Has(name)) a.capabilities.push_back(name);
    }
    return a;
}

}  // namespace quorell::session
