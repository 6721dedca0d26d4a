#pragma once

// The field writers and the payload reader shared by the core messages (message.cpp) and the
// file-transfer messages (file_messages.cpp). Internal to the session library.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "session/message.h"

namespace quorell::session::wire {

inline void PutU8(std::string& out, std::uint8_t v) {
    out.push_back(static_cast<char>(v));
}
inline void PutU16(std::string& out, std::uint16_t v) {
    PutU8(out, static_cast<std::uint8_t>(v >> 8));
    PutU8(out, static_cast<std::uint8_t>(v));
}
inline void PutU32(std::string& out, std::uint32_t v) {
    PutU16(out, static_cast<std::uint16_t>(v >> 16));
    PutU16(out, static_cast<std::uint16_t>(v));
}
inline void PutU64(std::string& out, std::uint64_t v) {
    PutU32(out, static_cast<std::uint32_t>(v >> 32));
    PutU32(out, static_cast<std::uint32_t>(v));
}
inline void PutText(std::string& out, const std::string& text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}
inline void PutDigest(std::string& out, const Digest& digest) {
    out.append(digest.begin(), digest.end());
}

inline bool TextFits(const std::string& text, std::size_t limit) {
    return text.size() <= limit && IsWellFormedUtf8(text);
}

// Reads the fields of a payload in order; the first failure sticks.
class PayloadParser {
public:
    explicit PayloadParser(std::string_view bytes) : bytes_(bytes) {}

    ReadError error() const { return error_; }
    bool ok() const { return error_ == ReadError::kNone; }
    std::size_t Left() const { return bytes_.size() - at_; }

    std::uint64_t Number(std::size_t width) {
        if (error_ != ReadError::kNone) return 0;
        if (bytes_.size() - at_ < width) {
            error_ = ReadError::kTruncated;
            return 0;
        }
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i)
            v = (v << 8) | static_cast<unsigned char>(bytes_[at_++]);
        return v;
    }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Number(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Number(2)); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Number(4)); }
    std::uint64_t U64() { return Number(8); }

    std::string Bytes(std::size_t count) {
        if (error_ != ReadError::kNone) return {};
        if (bytes_.size() - at_ < count) {
            error_ = ReadError::kTruncated;
            return {};
        }
        std::string s(bytes_.substr(at_, count));
        at_ += count;
        return s;
    }
    // Bytes as Bytes gives them, into `out`, whose memory is reused.
    void BytesInto(std::size_t count, std::string& out) {
        out.clear();
        if (error_ != ReadError::kNone) return;
        if (bytes_.size() - at_ < count) {
            error_ = ReadError::kTruncated;
            return;
        }
        out.assign(bytes_.substr(at_, count));
        at_ += count;
    }
    // A length-prefixed UTF-8 text of at most limit bytes.
    std::string Text(std::size_t limit) {
        const std::uint32_t size = U32();
        if (error_ == ReadError::kNone && size > limit) return Fail(ReadError::kMalformed);
        std::string s = Bytes(size);
        if (error_ == ReadError::kNone && !IsWellFormedUtf8(s)) return Fail(ReadError::kBadUtf8);
        return s;
    }
    Digest Fixed32() {
        Digest d{};
        const std::string s = Bytes(d.size());
        if (error_ == ReadError::kNone) std::copy(s.begin(), s.end(), d.begin());
        return d;
    }
    std::string Fail(ReadError error) {
        if (error_ == ReadError::kNone) error_ = error;
        return {};
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
    ReadError error_ = ReadError::kNone;
};

}  // namespace quorell::session::wire
