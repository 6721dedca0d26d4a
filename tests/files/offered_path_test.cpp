#include "files/offered_path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace quorell::files {
namespace {

std::string Levels(std::size_t count, const std::string& name) {
    std::string path = name;
    for (std::size_t i = 1; i < count; ++i) path += "/" + name;
    return path;
}

TEST(OfferedPath, HostileNamesAreRefusedWithTheirReason) {
    struct Case {
        std::string path;
        PathFault fault;
    };
    const std::vector<Case> cases = {
        {"", PathFault::kEmpty},
        {"a//b", PathFault::kEmptyComponent},
        {".", PathFault::kDot},
        {"a/./b", PathFault::kDot},
        {"..", PathFault::kDotDot},
        {"a/../../etc", PathFault::kDotDot},
        {"/etc/passwd", PathFault::kAbsolute},
        {"a/", PathFault::kTrailingSlash},
        {std::string("a\0b", 3), PathFault::kNul},
        {"a\nb", PathFault::kControl},
        {"\x1b[2Jx", PathFault::kControl},
        {"a\x7f", PathFault::kControl},
        {"..\\..\\win.ini", PathFault::kBackslash},
        {"\xC0\xAF", PathFault::kBadUtf8},          // overlong '/'
        {"\xE0\x80\xAF", PathFault::kBadUtf8},      // overlong, three bytes
        {"\xED\xA0\x80", PathFault::kBadUtf8},      // a surrogate
        {"\xF4\x90\x80\x80", PathFault::kBadUtf8},  // beyond U+10FFFF
        {"\xE4\xB8", PathFault::kBadUtf8},          // cut short
        {"\xFF", PathFault::kBadUtf8},
        {std::string(256, 'x'), PathFault::kComponentTooLong},
        {"movie.part", PathFault::kPartSuffix},
        {"d.part/movie", PathFault::kPartSuffix},
        {"MOVIE.Part", PathFault::kPartSuffix},
        {Levels(65, "d"), PathFault::kTooDeep},
        {Levels(17, std::string(250, 'x')), PathFault::kTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path.substr(0, 40)));
        EXPECT_EQ(CheckOfferedPath(c.path), c.fault);
        EXPECT_STRNE(Describe(c.fault), Describe(PathFault::kNone));
    }
}

TEST(OfferedPath, OrdinaryNamesAreAccepted) {
    const std::vector<std::string> good = {
        "a",
        "报告/第一章 草稿.txt",
        "my folder/a file with spaces.txt",
        "..hidden",
        "dots..",
        "a.part.txt",
        "partial",
        "emoji \xF0\x9F\x98\x80",
        std::string(255, 'x'),
        Levels(64, "d"),
        Levels(17, std::string(240, 'x')),  // 4096 bytes exactly
    };
    for (const std::string& path : good) {
        SCOPED_TRACE(path.substr(0, 40));
        EXPECT_EQ(CheckOfferedPath(path), PathFault::kNone);
    }
    EXPECT_EQ(Levels(17, std::string(240, 'x')).size(), kMaxPathBytes);
    EXPECT_EQ(SplitPath("报告/a b/c").size(), 3u);
}

TEST(OfferedManifest, AMillionFoldersAreRefusedByTheirCountAtOnce) {
    std::vector<ManifestEntry> entries(1000000);
    for (std::size_t i = 0; i < entries.size(); ++i)
        entries[i] = {"d" + std::to_string(i), true, 0};
    const auto start = std::chrono::steady_clock::now();
    const ManifestCheck check = CheckManifest(entries, UINT64_MAX);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(check.fault, ManifestFault::kTooManyEntries);
    EXPECT_LT(took, std::chrono::milliseconds(50));
    entries.resize(kMaxManifestEntries);
    EXPECT_TRUE(CheckManifest(entries, UINT64_MAX).ok());
}

TEST(OfferedManifest, ListsThatDoNotDescribeOneTreeAreRefused) {
    // A file "a" with "a-b" between it and "a/c" in byte order: still found.
    ManifestCheck check = CheckManifest(
        {{"a", false, 1}, {"a-b", false, 1}, {"a.x", true, 0}, {"a/c", false, 1}}, 100);
    EXPECT_EQ(check.fault, ManifestFault::kFileAsFolder);
    EXPECT_EQ(check.entry, 0u);
    check = CheckManifest({{"x/y", false, 0}, {"x", false, 0}}, 100);
    EXPECT_EQ(check.fault, ManifestFault::kFileAsFolder);
    EXPECT_EQ(check.entry, 1u);

    check = CheckManifest({{"a/b", false, 1}, {"c", false, 1}, {"a/b", true, 0}}, 100);
    EXPECT_EQ(check.fault, ManifestFault::kDuplicate);

    check = CheckManifest({{"ok", false, 0}, {"a/../b", false, 0}}, 100);
    EXPECT_EQ(check.fault, ManifestFault::kBadPath);
    EXPECT_EQ(check.entry, 1u);
    EXPECT_EQ(check.path_fault, PathFault::kDotDot);

    // A file's partial name must still fit in a name; a folder's name has no suffix.
    check = CheckManifest({{"d/" + std::string(251, 'f'), false, 0}}, 100);
    EXPECT_EQ(check.fault, ManifestFault::kBadPath);
    EXPECT_EQ(check.path_fault, PathFault::kComponentTooLong);
    EXPECT_TRUE(CheckManifest({{std::string(255, 'd'), true, 0}}, 100).ok());

    // Folders named on the way, or left out, are both fine.
    check = CheckManifest(
        {{"p", true, 0}, {"p/q", true, 0}, {"p/q/f", false, 7}, {"r/s/t", false, 3}}, 10);
    EXPECT_TRUE(check.ok());
    EXPECT_EQ(check.total, 10u);
}

TEST(OfferedManifest, SizesThatOverflowOrPassTheLimitAreRefused) {
    ManifestCheck check =
        CheckManifest({{"a", false, UINT64_MAX}, {"b", false, 0}, {"c", false, 1}}, UINT64_MAX);
    EXPECT_EQ(check.fault, ManifestFault::kSizeOverflow);
    EXPECT_EQ(check.entry, 2u);
    check = CheckManifest({{"a", false, UINT64_MAX - 1}, {"b", false, 1}}, UINT64_MAX);
    EXPECT_TRUE(check.ok());
    EXPECT_EQ(check.total, UINT64_MAX);

    check = CheckManifest({{"a", false, 600}, {"b", false, 401}}, 1000);
    EXPECT_EQ(check.fault, ManifestFault::kOverLimit);
    EXPECT_EQ(check.total, 1001u);
    EXPECT_TRUE(CheckManifest({{"a", false, 600}, {"b", false, 400}}, 1000).ok());
    EXPECT_TRUE(CheckManifest({}, 0).ok());
}

}  // namespace
}  // namespace quorell::files
