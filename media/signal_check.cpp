#include "media/signal_check.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>

namespace quorell::media {
namespace {

// The text split at single spaces; nothing when two spaces meet or it starts or ends with one.
std::optional<std::vector<std::string_view>> Words(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (true) {
        const std::size_t space = text.find(' ', start);
        const std::string_view word = text.substr(start, space - start);
        if (word.empty()) return std::nullopt;
        words.push_back(word);
        if (space == std::string_view::npos) return words;
        start = space + 1;
    }
}

// A decimal number of at most `max`, digits only.
std::optional<std::uint64_t> Number(std::string_view text, std::uint64_t max) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) return std::nullopt;
    return value;
}

bool IsPrintable(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b > 0x7E) return false;
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IsFoundation(std::string_view text) {
    if (text.empty() || text.size() > 32) return false;
    for (const char c : text) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                        (c >= 'A' && c <= 'Z') || c == '+' || c == '/';
        if (!ok) return false;
    }
    return true;
}

// "sha-256 AB:CD:..." with 32 bytes.
bool IsSha256Fingerprint(std::string_view value) {
    constexpr std::string_view kHash = "sha-256 ";
    if (value.size() != kHash.size() + 32 * 3 - 1) return false;
    if (!EqualsNoCase(value.substr(0, kHash.size()), kHash)) return false;
    const std::string_view hex = value.substr(kHash.size());
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

const char* KindName(MediaKind kind) {
    return kind == MediaKind::kVoice ? "voice" : "video";
}

// One "m=" line: its kind, or the reason it is refused.
std::optional<std::string> CheckMediaLine(std::string_view value, const Agreement& agreement,
                                          MediaKind* kind) {
    const auto words = Words(value);
    if (!words || words->size() < 4) return "a media line that does not parse";
    const std::string_view media = (*words)[0];
    if (media == "audio") {
        *kind = MediaKind::kVoice;
        if (!agreement.voice) return "voice, which this call did not agree";
    } else if (media == "video") {
        *kind = MediaKind::kVideo;
        if (!agreement.video) return "video, which this call did not agree";
    } else {
        return "media of a kind this call did not agree (" + std::string(media.substr(0, 32)) + ")";
    }
    if (!Number((*words)[1], 65535)) return "a media line with a bad port";
    if ((*words)[2] != "UDP/TLS/RTP/SAVPF") return "media not carried by DTLS-SRTP";
    for (std::size_t i = 3; i < words->size(); ++i) {
        if (!Number((*words)[i], 127)) return "a media line with a bad payload type";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> CanonicalAddress(std::string_view text) {
    if (text.empty() || text.size() > 45 || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string copy(text);
    char out[INET6_ADDRSTRLEN] = {};
    unsigned char bytes[16];
    if (inet_pton(AF_INET, copy.c_str(), bytes) == 1) {
        if (!inet_ntop(AF_INET, bytes, out, sizeof out)) return std::nullopt;
        return std::string(out);
    }
    if (inet_pton(AF_INET6, copy.c_str(), bytes) == 1) {
        if (!inet_ntop(AF_INET6, bytes, out, sizeof out)) return std::nullopt;
        return std::string(out);
    }
    return std::nullopt;
}

std::optional<std::string> CheckCandidate(std::string_view text, const std::string& peer_address) {
    if (text.size() > kMaxCandidateBytes) return "a candidate over the size limit";
    if (!IsPrintable(text)) return "a candidate with bytes that are not printable text";
    constexpr std::string_view kPrefix = "candidate:";
    if (text.substr(0, kPrefix.size()) != kPrefix) return "a candidate that does not parse";
    const auto words = Words(text.substr(kPrefix.size()));
    if (!words || words->size() < 8 || words->size() % 2 != 0) {
        return "a candidate that does not parse";
    }
    const auto& w = *words;
    if (!IsFoundation(w[0])) return "a candidate that does not parse";
    const auto component = Number(w[1], 256);
    if (!component || *component < 1 || *component > 2) return "a candidate of a bad component";
    if (!EqualsNoCase(w[2], "udp")) return "a candidate that is not UDP";
    if (!Number(w[3], 0xFFFFFFFFull)) return "a candidate with a bad priority";
    const auto port = Number(w[5], 65535);
    if (!port || *port == 0) return "a candidate with a bad port";
    if (w[6] != "typ") return "a candidate that does not parse";
    if (w[7] != "host") return "a candidate that is not a host candidate";
    const std::string_view address = w[4];
    if (address.size() > 6 && EqualsNoCase(address.substr(address.size() - 6), ".local")) {
        return "a candidate hidden behind a .local name";
    }
    const auto canonical = CanonicalAddress(address);
    if (!canonical) return "a candidate whose address is not an IP address";
    if (*canonical != peer_address) return "a candidate of an address other than the peer's";
    return std::nullopt;
}

std::optional<std::string> CheckDescription(std::string_view sdp, const Agreement& agreement,
                                            const std::string& peer_address,
                                            const std::vector<MediaKind>* expected,
                                            SdpSummary* summary) {
    if (sdp.size() > kMaxSdpBytes) return "a description over the size limit";
    if (sdp.empty()) return "an empty description";
    SdpSummary found;
    bool first = true, has_origin = false, has_name = false, has_timing = false;
    bool session_fingerprint = false, section_fingerprint = false;
    std::size_t start = 0;
    while (start < sdp.size()) {
        std::size_t end = sdp.find('\n', start);
        if (end == std::string_view::npos) end = sdp.size();
        std::string_view line = sdp.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z') {
            return "a description that does not parse";
        }
        if (!IsPrintable(line)) return "a description with bytes that are not printable text";
        const char type = line[0];
        const std::string_view value = line.substr(2);
        if (first) {
            if (line != "v=0") return "a description that does not parse (no version)";
            first = false;
            continue;
        }
        if (type == 'v') return "a description that does not parse (two versions)";
        if (type == 'o') has_origin = true;
        if (type == 's') has_name = true;
        if (type == 't') has_timing = true;
        if (type == 'm') {
            if (!found.media.empty() && !section_fingerprint && !session_fingerprint) {
                return "media without a DTLS fingerprint";
            }
            if (found.media.size() == kMaxMediaLines) return "more media than a call carries";
            MediaKind kind = MediaKind::kVoice;
            if (auto fault = CheckMediaLine(value, agreement, &kind)) return fault;
            for (const MediaKind seen : found.media) {
                if (seen == kind) return std::string("two lines of ") + KindName(kind);
            }
            found.media.push_back(kind);
            section_fingerprint = false;
        } else if (type == 'a') {
            constexpr std::string_view kFingerprint = "fingerprint:";
            constexpr std::string_view kCandidate = "candidate:";
            if (value.substr(0, kFingerprint.size()) == kFingerprint) {
                if (!IsSha256Fingerprint(value.substr(kFingerprint.size()))) {
                    return "a DTLS fingerprint that is not SHA-256";
                }
                (found.media.empty() ? session_fingerprint : section_fingerprint) = true;
            } else if (value.substr(0, kCandidate.size()) == kCandidate) {
                if (found.media.empty()) return "a candidate outside any media";
                if (auto fault = CheckCandidate(value, peer_address)) return fault;
            }
        }
    }
    if (!has_origin || !has_name || !has_timing) return "a description that does not parse";
    if (found.media.empty()) return "a description without media";
    if (!section_fingerprint && !session_fingerprint) return "media without a DTLS fingerprint";
    if (expected && found.media != *expected) return "an answer whose media differ from our offer";
    if (summary) *summary = std::move(found);
    return std::nullopt;
}

}  // namespace quorell::media
