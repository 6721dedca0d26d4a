#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorell::files {

// A path the peer offers is relative, its components separated by '/'. Nothing in it may
// climb out of the folder the user chose or name something other than what it looks like.
inline constexpr std::size_t kMaxComponentBytes = 255;
inline constexpr std::size_t kMaxPathDepth = 64;
inline constexpr std::size_t kMaxPathBytes = 4096;
// Our partial files are the final name plus this suffix; no offered name may end with it.
inline constexpr std::string_view kPartSuffix = ".part";

enum class PathFault {
    kNone,
    kEmpty,             // no path at all
    kEmptyComponent,    // "a//b"
    kDot,               // a component "."
    kDotDot,            // a component ".."
    kAbsolute,          // a leading '/'
    kTrailingSlash,     // "a/"
    kNul,               // a NUL byte
    kControl,           // a byte below 0x20, or 0x7F
    kBackslash,         // '\', a separator elsewhere
    kBadUtf8,           // not well-formed UTF-8
    kComponentTooLong,  // a component over kMaxComponentBytes
    kPartSuffix,        // a component ending with ".part" (in any case)
    kTooDeep,           // more than kMaxPathDepth components
    kTooLong,           // more than kMaxPathBytes in all
};

// A short English text for the logs.
const char* Describe(PathFault fault);

PathFault CheckOfferedPath(std::string_view path);

// The components of a path CheckOfferedPath accepted.
std::vector<std::string_view> SplitPath(std::string_view path);

// One entry of the peer's list of what it is about to send.
struct ManifestEntry {
    std::string path;
    bool is_folder = false;
    std::uint64_t size = 0;
};

inline constexpr std::size_t kMaxManifestEntries = 100000;

enum class ManifestFault {
    kNone,
    kTooManyEntries,  // more than kMaxManifestEntries
    kBadPath,         // an entry's path was refused (see ManifestCheck::path_fault)
    kDuplicate,       // the same path twice
    kFileAsFolder,    // a file entry is a folder on the way to another entry
    kSizeOverflow,    // the sizes add up beyond 64 bits
    kOverLimit,       // the sizes add up beyond the caller's limit
};

const char* Describe(ManifestFault fault);

struct ManifestCheck {
    ManifestFault fault = ManifestFault::kNone;
    // The entry at fault (for kDuplicate and kFileAsFolder, one of the two), else 0.
    std::size_t entry = 0;
    PathFault path_fault = PathFault::kNone;
    // The total of the sizes, when they add up without overflow.
    std::uint64_t total = 0;

    bool ok() const { return fault == ManifestFault::kNone; }
};

ManifestCheck CheckManifest(const std::vector<ManifestEntry>& entries, std::uint64_t total_limit);

}  // namespace quorell::files
