#include "keep/history_export.h"

#include <cstdint>

namespace quorell::keep {

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

// The next code point of text from i (moved past it); U+FFFD for a byte that starts none,
// overlong forms and surrogates included.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
    const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(i);
    int length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + static_cast<std::size_t>(length) > text.size()) {
        ++i;
        return kReplacement;
    }
    for (int k = 1; k < length; ++k) {
        const std::uint8_t next = byte(i + static_cast<std::size_t>(k));
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        c = (c << 6) | (next & 0x3F);
    }
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    if (overlong || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += static_cast<std::size_t>(length);
    return c;
}

bool DirectionControl(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string VisibleText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') {
            ++i;
            continue;
        }
        char32_t c = NextCodePoint(utf8, i);
        if (c == 0x7F) {
            c = 0x2421;
        } else if (c < 0x20 && c != '\t' && c != '\n') {
            c = 0x2400 + c;
        } else if ((c >= 0x80 && c <= 0x9F) || DirectionControl(c)) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string HtmlText(std::string_view utf8) {
    const std::string visible = VisibleText(utf8);
    std::string out;
    out.reserve(visible.size());
    for (char c : visible) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string ExportHeader(ExportFormat format, const std::string& title) {
    if (format == ExportFormat::kText) return VisibleText(title) + "\n\n";
    // Nothing in the page may load or run, whatever a line holds.
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "style-src 'unsafe-inline'\">\n<title>" +
           HtmlText(title) +
           "</title>\n<style>p{white-space:pre-wrap;overflow-wrap:anywhere;margin:0 0 "
           "0.3em}</style>\n</head>\n<body>\n<h1>" +
           HtmlText(title) + "</h1>\n";
}

std::string ExportLine(ExportFormat format, const std::string& line) {
    if (format == ExportFormat::kText) return VisibleText(line) + "\n";
    return "<p>" + HtmlText(line) + "</p>\n";
}

std::string ExportFooter(ExportFormat format) {
    return format == ExportFormat::kText ? std::string() : std::string("</body>\n</html>\n");
}

}  // namespace quorell::keep
