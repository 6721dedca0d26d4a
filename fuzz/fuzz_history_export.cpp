// A kept line's text (the peer's words or file name, or a damaged database's bytes) as an
// export writes it. The visible text is well-formed UTF-8 without controls but tab and line
// feed, and stays the same when made visible again; the web page's text holds no markup: no
// < > " ', and every & starts an entity.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "keep/history_export.h"

namespace {

// Whether text is well-formed UTF-8; written apart from the code under test.
bool WellFormed(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xE0) == 0xC0 ? 2
                             : (lead & 0xF0) == 0xE0 ? 3
                             : (lead & 0xF8) == 0xF0 ? 4
                                                     : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

bool NoControls(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t' && c != '\n') || byte == 0x7F) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quorell::keep;
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::string visible = VisibleText(bytes);
    FUZZ_CHECK(NoControls(visible));
    FUZZ_CHECK(VisibleText(visible) == visible);
    FUZZ_CHECK(WellFormed(visible));

    const std::string html = ExportLine(ExportFormat::kHtml, bytes);
    FUZZ_CHECK(html.rfind("<p>", 0) == 0 && html.size() >= 8);
    const std::string inner = html.substr(3, html.size() - 3 - 5);
    FUZZ_CHECK(html.substr(html.size() - 5) == "</p>\n");
    FUZZ_CHECK(NoControls(inner));
    for (std::size_t i = 0; i < inner.size(); ++i) {
        const char c = inner[i];
        FUZZ_CHECK(c != '<' && c != '>' && c != '"' && c != '\'');
        if (c == '&') {
            const std::size_t end = inner.find(';', i);
            FUZZ_CHECK(end != std::string::npos);
            const std::string entity = inner.substr(i, end - i + 1);
            FUZZ_CHECK(entity == "&amp;" || entity == "&lt;" || entity == "&gt;" ||
                       entity == "&quot;" || entity == "&#39;");
        }
    }
    return 0;
}
