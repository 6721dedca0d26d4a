#include "protocol/control_lines.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <string_view>

#include "common/gbk.h"
#include "common/text.h"

namespace quorell {

const std::string& lines::Wire(const char* text) {
    static std::mutex mu;
    static std::map<const char*, std::string> cache;
    std::lock_guard lock(mu);
    auto it = cache.find(text);
    if (it == cache.end()) it = cache.emplace(text, Utf8ToGbk(text)).first;
    return it->second;
}

namespace protocol {

namespace {

constexpr std::size_t kPrefixLength = 7;  // "system1" and its kin

struct Message {
    LineKind kind;
    const char* text;
};

// The messages a first line is compared with, those with an effect on the window first.
constexpr Message kMessages[] = {
    {LineKind::FileOffered, lines::kFileOffered},
    {LineKind::FileCancelled, lines::kFileCancelled},
    {LineKind::VideoClosed, lines::kVideoClosed},
    {LineKind::FileAccepted, lines::kFileAccepted},
    {LineKind::Connected, lines::kConnected},
    {LineKind::VideoOpened, lines::kVideoOpened},
    {LineKind::VideoReceiving, lines::kVideoReceiving},
    {LineKind::VideoNotReceiving, lines::kVideoNotReceiving},
    {LineKind::FileCompleted, lines::kFileCompleted},
    {LineKind::VoiceOffered, lines::kVoiceOffered},
    {LineKind::VoiceStopped, lines::kVoiceStopped},
    {LineKind::VoiceReceiving, lines::kVoiceReceiving},
    {LineKind::VoiceNotReceiving, lines::kVoiceNotReceiving},
};
static_assert(std::size(kMessages) == static_cast<std::size_t>(LineKind::Chat) -
                                          static_cast<std::size_t>(LineKind::Connected));

const char* PrefixOf(LineKind kind) {
    switch (kind) {
        case LineKind::VideoPort:
            return lines::kVideoPortPrefix;
        case LineKind::Address:
            return lines::kAddressPrefix;
        case LineKind::VoicePort:
            return lines::kVoicePortPrefix;
        default:
            return nullptr;
    }
}

// A decimal whole number: leading blanks, an optional sign, digits and nothing after them,
// within 32 bits.
bool ReadPort(const std::string& rest, long* port) {
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

}  // namespace

ControlLine Parse(const std::string& line) {
    ControlLine parsed;
    const std::string_view head = std::string_view(line).substr(0, kPrefixLength);
    for (LineKind kind : {LineKind::VideoPort, LineKind::VoicePort, LineKind::Address}) {
        const char* prefix = PrefixOf(kind);
        if (head != std::string_view(prefix, kPrefixLength)) continue;
        parsed.kind = kind;
        parsed.value = ReplaceAll(line, prefix, "");
        if (kind == LineKind::VideoPort) {
            parsed.port_valid = ReadPort(parsed.value, &parsed.video_port);
        } else {
            parsed.value = Trimmed(parsed.value);
        }
        return parsed;
    }
    for (const Message& message : kMessages) {
        if (line == lines::Wire(message.text)) {
            parsed.kind = message.kind;
            return parsed;
        }
    }
    parsed.value = ChatText(line);
    return parsed;
}

std::string ChatText(const std::string& line) {
    return ReplaceAll(line, lines::kLineBreakMarker, "\r\n");
}

std::string Encode(LineKind kind, const std::string& value) {
    if (const char* prefix = PrefixOf(kind)) return prefix + Trimmed(value);
    if (kind == LineKind::Chat) return ReplaceAll(value, "\r\n", lines::kLineBreakMarker);
    for (const Message& message : kMessages) {
        if (message.kind == kind) return lines::Wire(message.text);
    }
    return {};
}

}  // namespace protocol
}  // namespace quorell
