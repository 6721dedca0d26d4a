#include "common/control_lines.h"

#include <map>
#include <mutex>

#include "common/gbk.h"

namespace quorell::lines {

const std::string& Wire(const char* text) {
    static std::mutex mu;
    static std::map<const char*, std::string> cache;
    std::lock_guard lock(mu);
    auto it = cache.find(text);
    if (it == cache.end()) it = cache.emplace(text, Utf8ToGbk(text)).first;
    return it->second;
}

}  // namespace quorell::lines
