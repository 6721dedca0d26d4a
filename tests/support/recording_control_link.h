#pragma once

#include <string>
#include <vector>

#include "common/gbk.h"
#include "links/control_link.h"

namespace quorell::test {

// The control lines a feature sends, as UTF-8, answered as reachable or not. Given a log, each
// line is also noted there as "notice <line>", beside a window fake's calls, so a test sees the
// order of the two.
struct RecordingControlLink : IControlLink {
    RecordingControlLink() = default;
    explicit RecordingControlLink(std::vector<std::string>& log) : log_(&log) {}
    bool SendControlLine(const std::string& line) override {
        lines.push_back(GbkToUtf8(line));
        if (log_ != nullptr) log_->push_back("notice " + lines.back());
        return reachable;
    }
    std::vector<std::string> lines;
    bool reachable = true;

private:
    std::vector<std::string>* log_ = nullptr;
};

}  // namespace quorell::test
