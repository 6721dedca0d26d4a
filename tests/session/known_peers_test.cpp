#include "session/known_peers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "temp_folder.h"

namespace quorell {
namespace {

using Standing = KnownPeers::Standing;

Fingerprint Key(std::uint8_t n) {
    Fingerprint f{};
    f.fill(n);
    return f;
}

class KnownPeersFile : public ::testing::Test {
protected:
    TempFolder temp;
    std::string path = temp.path() + "/known_peers";
    std::string error;

    KnownPeers Load() {
        auto list = KnownPeers::Load(temp.path(), error);
        EXPECT_TRUE(list) << error;
        return list ? *list : *KnownPeers::Load(temp.path() + "/none", error);
    }
    std::string Text() {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Write(const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
        ::chmod(path.c_str(), 0600);
    }
};

TEST_F(KnownPeersFile, NewThenSameThenChangedKey) {
    KnownPeers peers = Load();
    EXPECT_EQ(peers.Check("alice", Key(1)), Standing::New);
    EXPECT_EQ(peers.Remember("alice", Key(1)), "");
    EXPECT_EQ(peers.Check("alice", Key(1)), Standing::KnownUnverified);
    EXPECT_EQ(peers.Check("alice", Key(2)), Standing::KeyChanged);
    // Remembering a changed key is refused; the old one stays on record.
    EXPECT_NE(peers.Remember("alice", Key(2)), "");
    EXPECT_EQ(Load().Check("alice", Key(1)), Standing::KnownUnverified);
    EXPECT_EQ(peers.Check("bob", Key(1)), Standing::New);
}

TEST_F(KnownPeersFile, VerificationPersistsAcrossReloadInAPrivateFile) {
    KnownPeers peers = Load();
    ASSERT_EQ(peers.Remember("alice", Key(1)), "");
    ASSERT_EQ(peers.MarkVerified("bob smith", Key(2)), "");
    KnownPeers again = Load();
    EXPECT_EQ(again.Check("alice", Key(1)), Standing::KnownUnverified);
    EXPECT_EQ(again.Check("bob smith", Key(2)), Standing::KnownVerified);
    EXPECT_EQ(again.Check("bob smith", Key(3)), Standing::KeyChanged);
    // The user verified a new key: it replaces the old one.
    ASSERT_EQ(again.MarkVerified("bob smith", Key(3)), "");
    EXPECT_EQ(Load().Check("bob smith", Key(3)), Standing::KnownVerified);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(KnownPeersFile, NamesThatWouldBreakTheFileRefused) {
    KnownPeers peers = Load();
    EXPECT_NE(peers.Remember("eve\nffff", Key(1)), "");
    EXPECT_NE(peers.MarkVerified("", Key(1)), "");
    EXPECT_NE(peers.MarkVerified("a\rb", Key(1)), "");
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(KnownPeersFile, CorruptOrExposedFileRefusedAndLeftAsItIs) {
    const std::string good = "quorell known peers 1\n" + ToHex(Key(1)) + " verified alice\n";
    Write(good);
    EXPECT_EQ(Load().Check("alice", Key(1)), Standing::KnownVerified);
    const std::string bad[] = {
        "",
        "quorell known peers 2\n",
        good + "junk\n",
        good + ToHex(Key(2)) + " verified alice\n",  // the same name twice
        good + ToHex(Key(2)) + " trusted bob\n",
        good + ToHex(Key(2)) + " verified \n",
        good + ToHex(Key(2)).substr(2) + "zz verified bob\n",
        good + ToHex(Key(2)) + " verified bob",  // cut short
    };
    for (const std::string& text : bad) {
        Write(text);
        error.clear();
        EXPECT_FALSE(KnownPeers::Load(temp.path(), error)) << text;
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(Text(), text);
    }
    Write(good);
    ::chmod(path.c_str(), 0644);
    EXPECT_FALSE(KnownPeers::Load(temp.path(), error));
    EXPECT_EQ(Text(), good);
}

}  // namespace
}  // namespace quorell
