#pragma once

// How a control connection's bytes divide into lines, written independently of the reader: every
// LF ends a line and one CR before it goes; a line of more than the limit ends the reading; a
// last line without LF comes back as one empty line; then the connection reads as closed.

#include <string>
#include <vector>

namespace quorell::fuzz {

struct LineOutcome {
    std::vector<std::string> lines;
    bool too_long = false;  // reading ends with "Max line length exceeded.", else closed
};

inline LineOutcome ExpectedLines(const std::string& stream, std::size_t max_line) {
    LineOutcome o;
    std::size_t pos = 0;
    while (true) {
        const std::size_t lf = stream.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? stream.size() : lf;
        if (end - pos > max_line) {
            o.too_long = true;
            return o;
        }
        if (lf == std::string::npos) {
            if (end > pos) o.lines.emplace_back();
            return o;
        }
        std::string line = stream.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        o.lines.push_back(std::move(line));
        pos = lf + 1;
    }
}

}  // namespace quorell::fuzz
