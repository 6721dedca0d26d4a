#include "common/gbk.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "common/errors.h"

// GB18030 is a superset of code page 936 and encodes the characters of code page 936 with the
// same bytes, with one exception: the euro sign, which code page 936 writes as the single byte
// 0x80 and GB18030 as A2 E3. Both directions therefore go through glibc's GB18030 converter, with
// a short table of forms it gets wrong for us (see kOverrides).

namespace quorell {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

struct Override {
    char32_t code_point;
    std::string_view bytes;
};

// Forms we write and read ourselves instead of asking glibc.
//
// glibc maps 18 two-byte codes to the standard characters the current GB18030 edition gives them
// (A6 D9 is U+FE10), but has no form at all for the private-use code points those codes used to
// carry, nor reads the four-byte codes the standard now gives them. It also reads six more codes
// (FE 51...) as supplementary-plane ideographs, where the standard and code page 936 keep the
// private-use code points, leaving those code points without a form. Without this table these 24
// code points would not survive a trip between two copies of the program.
constexpr Override kOverrides[] = {
    {U'\u20AC', "\x80"},  // the euro sign, as code page 936 has it
    {U'\uE78D', "\x84\x31\x82\x36"},
    {U'\uE78E', "\x84\x31\x82\x38"},
    {U'\uE78F', "\x84\x31\x82\x37"},
    {U'\uE790', "\x84\x31\x82\x39"},
    {U'\uE791', "\x84\x31\x83\x30"},
    {U'\uE792', "\x84\x31\x83\x31"},
    {U'\uE793', "\x84\x31\x83\x32"},
    {U'\uE794', "\x84\x31\x83\x33"},
    {U'\uE795', "\x84\x31\x83\x34"},
    {U'\uE796', "\x84\x31\x83\x35"},
    {U'\uE81E', "\x82\x35\x90\x37"},
    {U'\uE826', "\x82\x35\x90\x38"},
    {U'\uE82B', "\x82\x35\x90\x39"},
    {U'\uE82C', "\x82\x35\x91\x30"},
    {U'\uE832', "\x82\x35\x91\x31"},
    {U'\uE843', "\x82\x35\x91\x32"},
    {U'\uE854', "\x82\x35\x91\x33"},
    {U'\uE864', "\x82\x35\x91\x34"},
    {U'\uE816', "\xFE\x51"},
    {U'\uE817', "\xFE\x52"},
    {U'\uE818', "\xFE\x53"},
    {U'\uE831', "\xFE\x6C"},
    {U'\uE83B', "\xFE\x76"},
    {U'\uE855', "\xFE\x91"},
    // The ideographs glibc would write as FE 51... get their four-byte forms, which glibc reads.
    {U'\U00020087', "\x95\x32\x90\x31"},
    {U'\U00020089', "\x95\x32\x90\x33"},
    {U'\U000200CC', "\x95\x32\x97\x30"},
    {U'\U000215D7', "\x95\x36\xB9\x37"},
    {U'\U0002298F', "\x96\x30\xBA\x35"},
    {U'\U000241FE', "\x96\x35\xB6\x30"},
};

const Override* FindCodePoint(char32_t c) {
    if (c != 0x20AC && (c < 0xE78D || c > 0xE864) && (c < 0x20087 || c > 0x241FE)) return nullptr;
    for (const Override& o : kOverrides)
        if (o.code_point == c) return &o;
    return nullptr;
}

const Override* FindBytes(std::string_view bytes) {
    switch (static_cast<unsigned char>(bytes[0])) {
        case 0x80:
        case 0x82:
        case 0x84:
        case 0x95:
        case 0x96:
        case 0xFE:
            break;
        default:
            return nullptr;
    }
    for (const Override& o : kOverrides)
        if (o.bytes == bytes) return &o;
    return nullptr;
}

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// One iconv descriptor per thread and direction: descriptors carry state and must not be shared.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much of `in` as it can and appends the result to `out`. Returns the number of
    // input bytes consumed; less than in.size() means the byte there starts an invalid or
    // incomplete sequence.
    std::size_t Append(std::string_view in, std::string& out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        char* src = const_cast<char*>(in.data());
        std::size_t src_left = in.size();
        while (src_left > 0) {
            const std::size_t old_size = out.size();
            // Bounded, so that text with many bad bytes does not cost a large buffer per byte.
            const std::size_t room = std::min<std::size_t>(src_left * 2 + 16, 16384);
            out.resize(old_size + room);
            char* dst = out.data() + old_size;
            std::size_t dst_left = room;
            const std::size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
            const int err = errno;
            out.resize(old_size + (room - dst_left));
            if (rc != static_cast<std::size_t>(-1)) break;
            if (err != E2BIG) break;  // EILSEQ or EINVAL: stop at the offending byte
        }
        return in.size() - src_left;
    }

private:
    iconv_t cd_;
};

Converter& Get(Converter& c) {
    if (!c.ok()) throw Error("The GB18030 text converter is not available on this system.");
    return c;
}

Converter& Encoder() {
    thread_local Converter c("GB18030", "UTF-8");
    return Get(c);
}

Converter& Decoder() {
    thread_local Converter c("UTF-8", "GB18030");
    return Get(c);
}

bool IsCont(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 sequence at s[i] (surrogates, overlong forms and values above
// U+10FFFF are not well formed), or 0 when the byte there does not start one.
std::size_t Utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
    };
    const unsigned b0 = at(0);
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) return IsCont(at(1)) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        const unsigned lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = b0 == 0xED ? 0x9F : 0xBF;
        return at(1) >= lo && at(1) <= hi && IsCont(at(2)) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        const unsigned lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return at(1) >= lo && at(1) <= hi && IsCont(at(2)) && IsCont(at(3)) ? 4 : 0;
    }
    return 0;
}

// The code point of the well-formed UTF-8 sequence of `len` bytes at the front of `s`.
char32_t DecodeUtf8(std::string_view s, std::size_t len) {
    static constexpr unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(s[0]) & kLeadMask[len];
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[k]) & 0x3F);
    return c;
}

// Length of the GBK or GB18030 character whose bytes are well formed at s[i] (1, 2 or 4), or 0
// when the byte there cannot start one.
std::size_t GbkSequenceLength(std::string_view s, std::size_t i) {
    const auto at = [&](std::size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
    };
    const unsigned b0 = at(0);
    if (b0 < 0x80) return 1;
    if (b0 == 0x80 || b0 == 0xFF) return 0;
    const unsigned b1 = at(1);
    if ((b1 >= 0x40 && b1 <= 0x7E) || (b1 >= 0x80 && b1 <= 0xFE)) return 2;
    const bool digit1 = b1 >= 0x30 && b1 <= 0x39;
    const bool lead2 = at(2) >= 0x81 && at(2) <= 0xFE;
    const bool digit3 = at(3) >= 0x30 && at(3) <= 0x39;
    return digit1 && lead2 && digit3 ? 4 : 0;
}

// Encodes a run of well-formed UTF-8 text that holds no code point of kOverrides.
void EncodeRun(std::string_view run, std::string& out) {
    Converter& enc = Encoder();
    while (!run.empty()) {
        const std::size_t done = enc.Append(run, out);
        if (done == run.size()) break;
        // GB18030 covers every scalar value; should glibc still refuse one, it is not lost
        // silently but becomes '?' like any other text we cannot encode.
        out.push_back('?');
        const std::size_t len = Utf8SequenceLength(run, done);
        run.remove_prefix(done + (len == 0 ? 1 : len));
    }
}

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 2);
    std::size_t run_start = 0;
    bool run_ascii = true;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const std::size_t len = Utf8SequenceLength(utf8, i);
        if (len == 1) {
            ++i;
            continue;
        }
        const Override* special =
            len == 0 ? nullptr : FindCodePoint(DecodeUtf8(utf8.substr(i), len));
        if (len != 0 && special == nullptr) {
            run_ascii = false;
            i += len;
            continue;
        }
        const std::string_view run = utf8.substr(run_start, i - run_start);
        if (run_ascii) {
            out.append(run);
        } else {
            EncodeRun(run, out);
        }
        if (special != nullptr) {
            out.append(special->bytes);
            i += len;
        } else {
            out.push_back('?');
            ++i;
        }
        run_start = i;
        run_ascii = true;
    }
    const std::string_view run = utf8.substr(run_start);
    if (run_ascii) {
        out.append(run);
    } else {
        EncodeRun(run, out);
    }
    return out;
}

std::string GbkToUtf8(std::string_view gbk) {
    std::string out;
    out.reserve(gbk.size() + gbk.size() / 2);
    Converter& dec = Decoder();
    std::size_t i = 0;
    while (i < gbk.size()) {
        // A run of well-formed characters for glibc; plain ASCII needs no converter.
        const std::size_t run_start = i;
        bool run_ascii = true;
        std::size_t len = 0;
        const Override* special = nullptr;
        while (i < gbk.size()) {
            len = GbkSequenceLength(gbk, i);
            if (len == 0) break;
            if (len > 1) {
                special = FindBytes(gbk.substr(i, len));
                if (special != nullptr) break;
                run_ascii = false;
            }
            i += len;
        }
        const std::string_view run = gbk.substr(run_start, i - run_start);
        if (run_ascii) {
            out.append(run);
        } else {
            const std::size_t done = dec.Append(run, out);
            if (done < run.size()) {
                // A well-formed code without a character (beyond U+10FFFF, say): its first byte
                // is replaced and reading starts again at the next one.
                out.append(kReplacementUtf8);
                i = run_start + done + 1;
                continue;
            }
        }
        if (i == gbk.size()) break;
        if (special != nullptr) {
            AppendUtf8(special->code_point, out);
            i += len;
        } else {
            // The byte at i does not start a character (or starts one the text cuts short).
            AppendUtf8(static_cast<unsigned char>(gbk[i]) == 0x80 ? U'\u20AC' : U'\uFFFD', out);
            ++i;
        }
    }
    return out;
}

}  // namespace quorell
