#include "app/ring_sound.h"

namespace quorell {

namespace {

constexpr std::uint16_t kPcm = 1;
constexpr std::uint16_t kFloat = 3;
constexpr std::uint16_t kExtensible = 0xFFFE;
constexpr std::size_t kChunkHeader = 8;
constexpr std::size_t kFormatBytes = 16;

std::uint32_t Le(std::string_view bytes, std::size_t at, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

bool FormatPlayable(std::string_view format) {
    const std::uint32_t tag = Le(format, 0, 2);
    const std::uint32_t channels = Le(format, 2, 2);
    const std::uint32_t rate = Le(format, 4, 4);
    const std::uint32_t bits = Le(format, 14, 2);
    return (tag == kPcm || tag == kFloat || tag == kExtensible) && channels > 0 && rate > 0 &&
           bits >= 8 && bits <= 32 && bits % 8 == 0;
}

}  // namespace

bool RingSoundPlayable(std::string_view head, std::uint64_t file_size) {
    if (head.size() > file_size || head.size() < 12) return false;
    if (head.substr(0, 4) != "RIFF" || head.substr(8, 4) != "WAVE") return false;
    bool have_format = false;
    std::uint64_t at = 12;
    while (at + kChunkHeader <= head.size()) {
        const std::string_view id = head.substr(at, 4);
        const std::uint64_t size = Le(head, at + 4, 4);
        const std::uint64_t body = at + kChunkHeader;
        if (id == "data") return have_format && body + size <= file_size;
        // Chunks are padded to an even size.
        const std::uint64_t next = body + size + (size & 1);
        if (next > head.size()) return false;
        if (id == "fmt ") {
            if (have_format || size < kFormatBytes) return false;
            if (!FormatPlayable(head.substr(body, kFormatBytes))) return false;
            have_format = true;
        }
        at = next;
    }
    return false;
}

}  // namespace quorell
