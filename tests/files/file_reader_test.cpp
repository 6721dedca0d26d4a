#include "files/file_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "../session/temp_folder.h"

namespace quorell::files {
namespace {

using Step = FileReader::Step;

session::Sha256 Sha(const std::string& bytes) {
    session::Sha256 out{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), out.data(), &length, EVP_sha256(), nullptr);
    return out;
}

std::string Pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    return s;
}

class Reading : public ::testing::Test {
protected:
    std::string Put(const std::string& name, const std::string& bytes) {
        const std::string path = tmp.path() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // Reads from where the reader stands to the end; the bytes read, or nothing on a failure.
    std::optional<std::string> Rest(FileReader& reader, std::string& error) {
        std::string all, chunk;
        for (;;) {
            const std::uint64_t at = reader.offset();
            switch (reader.Next(chunk, error)) {
                case Step::kChunk:
                    EXPECT_LE(chunk.size(), session::kMaxDataBytes);
                    EXPECT_EQ(reader.offset(), at + chunk.size());
                    all += chunk;
                    break;
                case Step::kEnd:
                    return all;
                case Step::kFailed:
                    return std::nullopt;
            }
        }
    }

    TempFolder tmp;
    std::string error;
};

TEST_F(Reading, AWholeFileComesInChunksWithItsHash) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, session::kMaxDataBytes,
                             3 * session::kMaxDataBytes + 17}) {
        const std::string bytes = Pattern(size);
        FileReader reader;
        ASSERT_TRUE(reader.Open(Put("f", bytes), size, error)) << error;
        const auto got = Rest(reader, error);
        ASSERT_TRUE(got) << error;
        EXPECT_EQ(*got, bytes) << size;
        EXPECT_EQ(reader.hash(), Sha(bytes)) << size;
        std::string chunk;
        EXPECT_EQ(reader.Next(chunk, error), Step::kEnd);
    }
}

TEST_F(Reading, AResumeGoesOnOnlyFromAMatchingBeginning) {
    const std::string bytes = Pattern(600 * 1024);
    const std::string path = Put("f", bytes);
    struct Case {
        std::uint64_t have;
        session::Sha256 prefix;
        std::uint64_t from;
    };
    const Case cases[] = {
        {300 * 1024 + 5, Sha(bytes.substr(0, 300 * 1024 + 5)), 300 * 1024 + 5},
        {bytes.size(), Sha(bytes), bytes.size()},  // all there: nothing to send
        {1000, Sha("something else"), 0},          // another file: over whole
        {bytes.size() + 1, Sha(bytes + "x"), 0},   // more than the file holds
        {0, {}, 0},
    };
    for (const auto& c : cases) {
        FileReader reader;
        ASSERT_TRUE(reader.Open(path, bytes.size(), error)) << error;
        std::uint64_t from = 99;
        ASSERT_TRUE(reader.Resume(c.have, c.prefix, from, error)) << error;
        EXPECT_EQ(from, c.from) << c.have;
        const auto got = Rest(reader, error);
        ASSERT_TRUE(got) << error;
        EXPECT_EQ(*got, bytes.substr(c.from)) << c.have;
        // Always the hash of the whole file, the part not sent included.
        EXPECT_EQ(reader.hash(), Sha(bytes)) << c.have;
    }
    FileReader reader;
    ASSERT_TRUE(reader.Open(path, bytes.size(), error));
    std::string chunk;
    ASSERT_EQ(reader.Next(chunk, error), Step::kChunk);
    std::uint64_t from = 0;
    EXPECT_FALSE(reader.Resume(10, Sha(bytes.substr(0, 10)), from, error));
}

TEST_F(Reading, AFileThatChangesIsAClearError) {
    const std::string bytes = Pattern(800 * 1024);
    const std::string path = Put("f", bytes);

    // Not the size it was offered at.
    FileReader reader;
    EXPECT_FALSE(reader.Open(path, bytes.size() - 1, error));
    EXPECT_NE(error.find("changed since it was offered"), std::string::npos) << error;
    std::string chunk;
    EXPECT_EQ(reader.Next(chunk, error), Step::kFailed);

    // Shorter while it is read.
    ASSERT_TRUE(reader.Open(path, bytes.size(), error)) << error;
    ASSERT_EQ(reader.Next(chunk, error), Step::kChunk);
    ASSERT_EQ(::truncate(path.c_str(), 300 * 1024), 0);
    const auto rest = Rest(reader, error);
    EXPECT_FALSE(rest);
    EXPECT_NE(error.find("shorter"), std::string::npos) << error;

    // Longer by the end.
    Put("f", bytes);
    ASSERT_TRUE(reader.Open(path, bytes.size(), error)) << error;
    ASSERT_EQ(reader.Next(chunk, error), Step::kChunk);
    std::ofstream(path, std::ios::binary | std::ios::app) << "more";
    EXPECT_FALSE(Rest(reader, error));
    EXPECT_NE(error.find("changed size"), std::string::npos) << error;

    // The same size, but written to meanwhile.
    Put("f", bytes);
    ASSERT_TRUE(reader.Open(path, bytes.size(), error)) << error;
    ASSERT_EQ(reader.Next(chunk, error), Step::kChunk);
    struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EXPECT_FALSE(Rest(reader, error));
    EXPECT_NE(error.find("written to"), std::string::npos) << error;
}

TEST_F(Reading, OnlyARegularFileIsOpenedAndAFifoDoesNotBlock) {
    const std::string path = Put("f", "abc");
    const std::string link = tmp.path() + "/link";
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    const std::string fifo = tmp.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    FileReader reader;
    EXPECT_FALSE(reader.Open(link, 3, error));
    EXPECT_FALSE(reader.Open(fifo, 0, error));  // returns at once, with nobody writing
    EXPECT_NE(error.find("regular file"), std::string::npos) << error;
    EXPECT_FALSE(reader.Open(tmp.path() + "/missing", 0, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

}  // namespace
}  // namespace quorell::files
