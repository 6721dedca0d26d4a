#include "files/offered_path.h"

#include <algorithm>

#include "session/message.h"

namespace quorell::files {
namespace {

bool EndsWithPartSuffix(std::string_view name) {
    if (name.size() < kPartSuffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - kPartSuffix.size());
    // A case-insensitive file system (a memory stick) would take ".PART" for ".part".
    return std::equal(tail.begin(), tail.end(), kPartSuffix.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

PathFault CheckComponent(std::string_view name) {
    if (name.empty()) return PathFault::kEmptyComponent;
    if (name == ".") return PathFault::kDot;
    if (name == "..") return PathFault::kDotDot;
    if (name.size() > kMaxComponentBytes) return PathFault::kComponentTooLong;
    if (EndsWithPartSuffix(name)) return PathFault::kPartSuffix;
    return PathFault::kNone;
}

// Sorts paths component by component: '/' weighs less than any other byte, so that everything
// below a path comes right after it ("a", "a/b", "a-b" rather than "a", "a-b", "a/b").
bool ComponentOrder(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    const auto [ia, ib] = std::mismatch(a.begin(), a.begin() + common, b.begin());
    if (ia == a.begin() + common) return a.size() < b.size();
    const auto weight = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
    return weight(*ia) < weight(*ib);
}

}  // namespace

const char* Describe(PathFault fault) {
    switch (fault) {
        case PathFault::kNone:
            return "acceptable";
        case PathFault::kEmpty:
            return "empty path";
        case PathFault::kEmptyComponent:
            return "empty component";
        case PathFault::kDot:
            return "\".\" component";
        case PathFault::kDotDot:
            return "\"..\" component";
        case PathFault::kAbsolute:
            return "absolute path";
        case PathFault::kTrailingSlash:
            return "trailing slash";
        case PathFault::kNul:
            return "NUL byte";
        case PathFault::kControl:
            return "control character";
        case PathFault::kBackslash:
            return "backslash";
        case PathFault::kBadUtf8:
            return "not well-formed UTF-8";
        case PathFault::kComponentTooLong:
            return "component longer than 255 bytes";
        case PathFault::kPartSuffix:
            return "name ending with .part";
        case PathFault::kTooDeep:
            return "more than 64 levels";
        case PathFault::kTooLong:
            return "path longer than 4096 bytes";
    }
    return "unknown fault";
}

PathFault CheckOfferedPath(std::string_view path) {
    if (path.empty()) return PathFault::kEmpty;
    if (path.size() > kMaxPathBytes) return PathFault::kTooLong;
    if (path.front() == '/') return PathFault::kAbsolute;
    if (path.back() == '/') return PathFault::kTrailingSlash;
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (b == 0) return PathFault::kNul;
        if (b < 0x20 || b == 0x7F) return PathFault::kControl;
        if (c == '\\') return PathFault::kBackslash;
    }
    if (!session::IsWellFormedUtf8(path)) return PathFault::kBadUtf8;
    if (std::count(path.begin(), path.end(), '/') >= static_cast<long>(kMaxPathDepth))
        return PathFault::kTooDeep;
    for (const std::string_view name : SplitPath(path)) {
        const PathFault fault = CheckComponent(name);
        if (fault != PathFault::kNone) return fault;
    }
    return PathFault::kNone;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            out.push_back(path.substr(start));
            return out;
        }
        out.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

const char* Describe(ManifestFault fault) {
    switch (fault) {
        case ManifestFault::kNone:
            return "acceptable";
        case ManifestFault::kTooManyEntries:
            return "more than 100000 entries";
        case ManifestFault::kBadPath:
            return "refused path";
        case ManifestFault::kDuplicate:
            return "path listed twice";
        case ManifestFault::kFileAsFolder:
            return "file used as a folder by another entry";
        case ManifestFault::kSizeOverflow:
            return "sizes overflow";
        case ManifestFault::kOverLimit:
            return "total size over the limit";
    }
    return "unknown fault";
}

ManifestCheck CheckManifest(const std::vector<ManifestEntry>& entries, std::uint64_t total_limit) {
    ManifestCheck check;
    if (entries.size() > kMaxManifestEntries) {
        check.fault = ManifestFault::kTooManyEntries;
        return check;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PathFault fault = CheckOfferedPath(entries[i].path);
        // A file is received under its name plus the suffix, which must still be a valid name.
        if (fault == PathFault::kNone && !entries[i].is_folder &&
            SplitPath(entries[i].path).back().size() + kPartSuffix.size() > kMaxComponentBytes)
            fault = PathFault::kComponentTooLong;
        if (fault != PathFault::kNone) {
            check.fault = ManifestFault::kBadPath;
            check.entry = i;
            check.path_fault = fault;
            return check;
        }
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].size > UINT64_MAX - check.total) {
            check.fault = ManifestFault::kSizeOverflow;
            check.entry = i;
            check.total = 0;
            return check;
        }
        check.total += entries[i].size;
    }

    // In component order a duplicate is next to its twin and whatever lies below a path
    // follows it at once, so neighbours tell both faults.
    struct Sorted {
        std::string_view path;
        std::size_t entry;
    };
    std::vector<Sorted> order;
    order.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) order.push_back({entries[i].path, i});
    std::sort(order.begin(), order.end(),
              [](const Sorted& a, const Sorted& b) { return ComponentOrder(a.path, b.path); });
    for (std::size_t k = 0; k + 1 < order.size(); ++k) {
        const std::string_view here = order[k].path;
        const std::string_view next = order[k + 1].path;
        if (next == here) {
            check.fault = ManifestFault::kDuplicate;
            check.entry = order[k + 1].entry;
            return check;
        }
        if (!entries[order[k].entry].is_folder && next.size() > here.size() &&
            next.starts_with(here) && next[here.size()] == '/') {
            check.fault = ManifestFault::kFileAsFolder;
            check.entry = order[k].entry;
            return check;
        }
    }
    if (check.total > total_limit) check.fault = ManifestFault::kOverLimit;
    return check;
}

}  // namespace quorell::files
