// GBK conversion both ways, on any bytes. Decoding always gives well-formed UTF-8, and whatever
// was decoded survives another trip through the wire form. Encoding loses nothing but malformed
// UTF-8, one '?' for each byte that does not belong to a well-formed sequence.
#include <cstdint>
#include <string>

#include "common/gbk.h"
#include "fuzz_check.h"

namespace {

// Length of the well-formed UTF-8 sequence at s[i], or 0; written apart from the converter.
std::size_t WellFormedLength(const std::string& s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len;
    char32_t c;
    if (b < 0x80) return 1;
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        c = (c << 6) | (t & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return len;
}

bool IsWellFormed(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = WellFormedLength(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// The text with every byte outside a well-formed sequence replaced by '?'.
std::string Sanitized(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = WellFormedLength(s, i);
        if (len == 0) {
            out.push_back('?');
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // The bytes as they come off the wire.
    const std::string text = quorell::GbkToUtf8(bytes);
    FUZZ_CHECK(IsWellFormed(text));
    FUZZ_CHECK(text.size() <= 3 * bytes.size());
    FUZZ_CHECK(quorell::GbkToUtf8(quorell::Utf8ToGbk(text)) == text);

    // The bytes as text typed into the window.
    const std::string wire = quorell::Utf8ToGbk(bytes);
    FUZZ_CHECK(quorell::GbkToUtf8(wire) == Sanitized(bytes));
    return 0;
}
