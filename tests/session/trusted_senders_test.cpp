#include "session/trusted_senders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "temp_folder.h"

namespace quorell {
namespace {

Fingerprint Key(std::uint8_t n) {
    Fingerprint f{};
    f.fill(n);
    return f;
}

class TrustedSendersFile : public ::testing::Test {
protected:
    TempFolder temp;
    std::string path = temp.path() + "/trusted_senders";
    std::string error;

    std::optional<TrustedSenders> Load() { return TrustedSenders::Load(temp.path(), error); }
    void Write(const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
        ::chmod(path.c_str(), 0600);
    }
};

TEST_F(TrustedSendersFile, OnlyTheKeyTrustedGetsTheFolderAcrossReloads) {
    std::optional<TrustedSenders> list = Load();
    ASSERT_TRUE(list) << error;
    EXPECT_FALSE(list->FolderFor("alice", Key(1)));
    // Any bytes of a file name survive the file, spaces and line ends included.
    const std::string odd = "/home/a/收 件\nfolder\\x";
    ASSERT_EQ(list->Trust("alice smith", Key(1), odd), "");
    ASSERT_EQ(list->Trust("bob", Key(2), "/srv/bob"), "");
    std::optional<TrustedSenders> again = Load();
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->FolderFor("alice smith", Key(1)), odd);
    EXPECT_FALSE(again->FolderFor("alice smith", Key(3)));  // a changed key is asked again
    EXPECT_FALSE(again->FolderFor("alice", Key(1)));
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(again->Forget("alice smith"), "");
    EXPECT_EQ(again->Forget("nobody"), "");
    EXPECT_FALSE(Load()->FolderFor("alice smith", Key(1)));
    EXPECT_EQ(Load()->FolderFor("bob", Key(2)), "/srv/bob");

    // Nothing that could not be read back is written.
    EXPECT_NE(again->Trust("", Key(1), "/x"), "");
    EXPECT_NE(again->Trust("a\nb", Key(1), "/x"), "");
    EXPECT_NE(again->Trust("carol", Key(1), "relative/folder"), "");
    EXPECT_NE(again->Trust("carol", Key(1), ""), "");
    EXPECT_FALSE(Load()->FolderFor("carol", Key(1)));
}

TEST_F(TrustedSendersFile, ADamagedFileIsRefusedAndLeftAsItIs) {
    const std::string key(64, 'a');
    const std::string folder = "2f78";  // "/x"
    for (const std::string& text : {
             std::string("quorell known peers 1\n"),
             std::string(""),
             "quorell trusted senders 1\n" + key + " " + folder + " alice",
             "quorell trusted senders 1\n" + key + " 7878 alice\n",  // not absolute
             "quorell trusted senders 1\n" + key + " 2f7 alice\n",
             "quorell trusted senders 1\n" + key + " 2F78 alice\n",
             "quorell trusted senders 1\n" + key + " 2f0078 alice\n",  // a NUL
             "quorell trusted senders 1\n" + key + " " + folder + "\n",
             "quorell trusted senders 1\nzz " + folder + " alice\n",
             "quorell trusted senders 1\n" + key + " " + folder + " alice\n" + key + " " + folder +
                 " alice\n",
         }) {
        Write(text);
        error.clear();
        EXPECT_FALSE(Load()) << text;
        EXPECT_FALSE(error.empty());
    }
    Write("quorell trusted senders 1\n" + key + " " + folder + " alice\n");
    ::chmod(path.c_str(), 0644);
    EXPECT_FALSE(Load());
    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(Load()) << error;
    Fingerprint aa;
    aa.fill(0xaa);
    EXPECT_EQ(Load()->FolderFor("alice", aa), "/x");
}

}  // namespace
}  // namespace quorell
