#include "files/file_hash.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../session/temp_folder.h"

namespace quorell::files {
namespace {

constexpr const char* kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
    Sha256 hash;
    Sha256Digest digest{};
    hash.Update("a");
    hash.Update("");
    hash.Update("bc");
    ASSERT_TRUE(hash.Final(digest));
    EXPECT_EQ(ToHex(digest), kAbc);
    ASSERT_TRUE(hash.Final(digest));  // afresh after Final
    EXPECT_EQ(ToHex(digest), kEmpty);
}

TEST(HashPrefix, ReadsThePrefixOnlyAndFailsOnAShortFile) {
    TempFolder temp;
    const std::string path = temp.path() + "/f";
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
    data.replace(0, 3, "abc");
    std::ofstream(path, std::ios::binary) << data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 42, SEEK_SET), 42);

    Sha256Digest digest{};
    ASSERT_EQ(HashPrefix(fd, 3, digest), "");
    EXPECT_EQ(ToHex(digest), kAbc);
    ASSERT_EQ(HashPrefix(fd, 0, digest), "");
    EXPECT_EQ(ToHex(digest), kEmpty);
    // Longer than one read, ending inside one.
    ASSERT_EQ(HashPrefix(fd, 150001, digest), "");
    Sha256 whole;
    Sha256Digest expected{};
    whole.Update(std::string_view(data).substr(0, 150001));
    ASSERT_TRUE(whole.Final(expected));
    EXPECT_EQ(digest, expected);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 42);  // the offset is left alone

    const std::string error = HashPrefix(fd, data.size() + 1, digest);
    EXPECT_NE(error.find("holds 200000 bytes, not 200001"), std::string::npos) << error;
    ::close(fd);
    EXPECT_NE(HashPrefix(-1, 1, digest), "");
}

}  // namespace
}  // namespace quorell::files
