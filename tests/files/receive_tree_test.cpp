#include "files/receive_tree.h"

#include "files/file_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../session/temp_folder.h"

namespace quorell::files {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// The chosen folder "in" and, beside it, a folder "out" the peer must never reach.
class ReceiveTreeTest : public testing::Test {
protected:
    ReceiveTreeTest() : in_(temp_.path() + "/in"), out_(temp_.path() + "/out") {
        fs::create_directory(in_);
        fs::create_directory(out_);
    }
    bool OutsideIsEmpty() const { return fs::is_empty(out_); }

    TempFolder temp_;
    std::string in_, out_;
};

TEST_F(ReceiveTreeTest, LinksBelowTheRootAreNeverFollowed) {
    fs::create_directory_symlink(out_, in_ + "/link");
    fs::create_directory(in_ + "/a");
    fs::create_directory_symlink("../../out", in_ + "/a/up");
    fs::create_symlink(out_ + "/victim", in_ + "/movie.part");
    fs::create_symlink(out_ + "/victim", in_ + "/a/deep.part");
    ASSERT_EQ(::mkfifo((in_ + "/pipe.part").c_str(), 0600), 0);
    WriteAll(in_ + "/plain", "x");

    ReceiveTree tree(in_);
    ASSERT_TRUE(tree.ok()) << tree.error().text;
    PartFile part;
    EXPECT_EQ(tree.MakeFolders("link/sub").error, ELOOP);
    EXPECT_EQ(tree.MakeFolders("link").error, ELOOP);
    EXPECT_EQ(tree.OpenPart("link/file", part).error, ELOOP);
    EXPECT_EQ(tree.OpenPart("a/up/file", part).error, ELOOP);
    EXPECT_EQ(tree.OpenPart("movie", part).error, ELOOP);
    EXPECT_EQ(tree.OpenPart("a/deep", part).error, ELOOP);
    EXPECT_EQ(tree.OpenPart("pipe", part).error, EINVAL);  // refused, not waited on
    EXPECT_EQ(tree.OpenPart("plain/file", part).error, ENOTDIR);
    EXPECT_EQ(tree.Complete("movie", true).error, ELOOP);
    bool exists = false;
    EXPECT_EQ(tree.Exists("link/file", exists).error, ELOOP);
    EXPECT_FALSE(part.is_open());
    EXPECT_EQ(tree.open_parts(), 0);
    EXPECT_TRUE(OutsideIsEmpty());

    // The link itself is a taken name, and the refusals say what they found.
    ASSERT_TRUE(tree.Exists("link", exists).ok());
    EXPECT_TRUE(exists);
    EXPECT_NE(tree.OpenPart("a/up/file", part).text.find("\"a/up\" is a link"), std::string::npos);
}

TEST_F(ReceiveTreeTest, TheChosenFolderItselfMayBeALink) {
    fs::create_directory_symlink(in_, temp_.path() + "/chosen");
    ReceiveTree tree(temp_.path() + "/chosen");
    ASSERT_TRUE(tree.ok()) << tree.error().text;
    PartFile part;
    ASSERT_TRUE(tree.OpenPart("报告/第一章 草稿.txt", part).ok());
    EXPECT_TRUE(fs::is_regular_file(in_ + "/报告/第一章 草稿.txt.part"));

    EXPECT_FALSE(ReceiveTree(temp_.path() + "/missing").ok());
    WriteAll(temp_.path() + "/file", "");
    EXPECT_EQ(ReceiveTree(temp_.path() + "/file").error().error, ENOTDIR);
}

TEST_F(ReceiveTreeTest, ATakenNameIsReplacedOnlyWithLeave) {
    WriteAll(in_ + "/doc.txt", "old");
    ReceiveTree tree(in_);
    bool exists = false;
    ASSERT_TRUE(tree.Exists("doc.txt", exists).ok());
    EXPECT_TRUE(exists);
    ASSERT_TRUE(tree.Exists("new/doc.txt", exists).ok());
    EXPECT_FALSE(exists);

    PartFile part;
    ASSERT_TRUE(tree.OpenPart("doc.txt", part).ok());
    ASSERT_TRUE(part.Write("new").ok());
    part.Close();
    const Outcome refused = tree.Complete("doc.txt", false);
    EXPECT_EQ(refused.error, EEXIST);
    EXPECT_NE(refused.text.find("already exists"), std::string::npos);
    EXPECT_EQ(ReadAll(in_ + "/doc.txt"), "old");
    EXPECT_EQ(ReadAll(in_ + "/doc.txt.part"), "new");

    ASSERT_TRUE(tree.Complete("doc.txt", true).ok());
    EXPECT_EQ(ReadAll(in_ + "/doc.txt"), "new");
    EXPECT_FALSE(fs::exists(in_ + "/doc.txt.part"));
    EXPECT_EQ(tree.Complete("doc.txt", false).error, ENOENT);  // nothing left to move
}

TEST_F(ReceiveTreeTest, APartialFileIsResumedAtItsEnd) {
    const mode_t old_mask = ::umask(022);
    ReceiveTree tree(in_);
    PartFile part;
    ASSERT_TRUE(tree.OpenPart("d/e/f.bin", part).ok());
    EXPECT_EQ(part.resumed_from(), 0u);
    ASSERT_TRUE(part.Write("hello").ok());
    part.Close();
    struct stat st {};
    ASSERT_EQ(::stat((in_ + "/d/e/f.bin.part").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ::umask(old_mask);

    ASSERT_TRUE(tree.OpenPart("d/e/f.bin", part).ok());
    EXPECT_EQ(part.resumed_from(), 5u);
    EXPECT_EQ(part.size(), 5u);
    ASSERT_TRUE(part.Write(" world").ok());
    EXPECT_EQ(part.size(), 11u);
    ASSERT_TRUE(part.Truncate(6).ok());  // a prefix whose hash did not match, cut back
    ASSERT_TRUE(part.Write("there").ok());
    part.Close();
    EXPECT_EQ(ReadAll(in_ + "/d/e/f.bin.part"), "hello there");

    // A second name for the partial file would carry our writes elsewhere.
    ASSERT_EQ(::link((in_ + "/d/e/f.bin.part").c_str(), (out_ + "/alias").c_str()), 0);
    EXPECT_EQ(tree.OpenPart("d/e/f.bin", part).error, EMLINK);
}

TEST_F(ReceiveTreeTest, DescriptorsAreBoundedAndGiveBack) {
    const int before = OpenDescriptors();
    {
        ReceiveTree tree(in_, 2);
        std::string deep = "d";
        for (int i = 1; i < 63; ++i) deep += "/d";  // with the file, 64 levels
        ASSERT_TRUE(tree.MakeFolders(deep).ok());
        PartFile a, b, c;
        ASSERT_TRUE(tree.OpenPart(deep + "/a", a).ok());
        ASSERT_TRUE(tree.OpenPart("b", b).ok());
        EXPECT_EQ(tree.OpenPart("c", c).error, EMFILE);
        EXPECT_EQ(OpenDescriptors(), before + 3);  // the root and two partial files
        PartFile moved = std::move(a);
        EXPECT_EQ(tree.open_parts(), 2);
        moved.Close();
        EXPECT_TRUE(tree.OpenPart("c", c).ok());
        b = std::move(c);  // closes the one it held
        EXPECT_EQ(tree.open_parts(), 1);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ReceiveTreeTest, WritingPastTheFileSizeLimitIsAnError) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
        ReceiveTree tree(in_);
        PartFile part;
        if (!tree.OpenPart("big", part).ok()) ::_exit(11);
        const Outcome wrote = part.Write(std::string(4096, 'z'));
        if (wrote.ok()) ::_exit(12);
        if (wrote.error != EFBIG || wrote.text.find("big.part") == std::string::npos) ::_exit(13);
        if (part.size() != 1000) ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(fs::file_size(in_ + "/big.part"), 1000u);  // what was written stays
}

TEST_F(ReceiveTreeTest, ASinkHashesWhatTheFileHoldsAndStartsEachFileClean) {
    const auto digest_of = [](const std::string& bytes) {
        Sha256 h;
        h.Update(bytes);
        Sha256Digest d{};
        EXPECT_TRUE(h.Final(d));
        return d;
    };
    ReceiveTree tree(in_);
    FileSink sink(1000);  // a small queue: writing waits for the sink's thread
    {
        std::ofstream(in_ + "/a.part") << "head";
        PartFile part;
        ASSERT_TRUE(tree.OpenPart("a", part).ok());
        Sha256 prefix;
        prefix.Update("head");
        sink.Begin(std::move(part), std::move(prefix));
        Outcome error;
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(sink.Write(std::string(700, 'x'), error));
        Sha256Digest digest{};
        ASSERT_TRUE(sink.Finish(digest).ok());
        EXPECT_EQ(digest, digest_of("head" + std::string(35000, 'x')));
    }
    {
        // Dropped mid-way: what was written stays, nothing of it reaches the next file.
        PartFile part;
        ASSERT_TRUE(tree.OpenPart("b", part).ok());
        sink.Begin(std::move(part), Sha256());
        Outcome error;
        for (int i = 0; i < 20; ++i) ASSERT_TRUE(sink.Write(std::string(500, 'y'), error));
        sink.Abort();
        EXPECT_EQ(fs::file_size(in_ + "/b.part") % 500, 0u);
        ASSERT_TRUE(tree.OpenPart("c", part).ok());
        sink.Begin(std::move(part), Sha256());
        ASSERT_TRUE(sink.Write("z", error));
        Sha256Digest digest{};
        ASSERT_TRUE(sink.Finish(digest).ok());
        EXPECT_EQ(digest, digest_of("z"));
        EXPECT_EQ(tree.open_parts(), 0);
    }
}

}  // namespace
}  // namespace quorell::files
