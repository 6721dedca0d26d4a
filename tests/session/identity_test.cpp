#include "session/identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "temp_folder.h"

namespace quorell {
namespace {

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spill(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

class IdentityFiles : public ::testing::Test {
protected:
    TempFolder temp;
    std::string folder = temp.path() + "/data/quorell";
    std::string key = folder + "/key.pem";
    std::string cert = folder + "/certificate.pem";
    std::string error;

    Fingerprint Create() {
        auto identity = Identity::LoadOrCreate(folder, error);
        EXPECT_TRUE(identity) << error;
        return identity ? identity->GetFingerprint() : Fingerprint{};
    }

    // Loading must fail with an error, and leave both files byte for byte as they were.
    void ExpectRefused() {
        std::string keyBefore = Slurp(key), certBefore = Slurp(cert);
        unsigned keyMode = ModeOf(key);
        error.clear();
        EXPECT_FALSE(Identity::LoadOrCreate(folder, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(Slurp(key), keyBefore);
        EXPECT_EQ(Slurp(cert), certBefore);
        EXPECT_EQ(ModeOf(key), keyMode);
    }
};

TEST_F(IdentityFiles, MadeOnceWithPrivateModesThenLoadedUnchanged) {
    ::umask(022);
    Fingerprint first = Create();
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(key), 0600u);
    EXPECT_EQ(ModeOf(cert), 0600u);
    std::string keyPem = Slurp(key);
    EXPECT_NE(keyPem.find("BEGIN PRIVATE KEY"), std::string::npos);

    auto again = Identity::LoadOrCreate(folder, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(again->GetFingerprint(), first);
    EXPECT_EQ(FingerprintOf(again->Certificate()), first);
    EXPECT_EQ(Slurp(key), keyPem);
    // No temporary file is left beside them.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);

    TempFolder other;
    auto fresh = Identity::LoadOrCreate(other.path(), error);
    ASSERT_TRUE(fresh) << error;
    EXPECT_NE(fresh->GetFingerprint(), first);
}

TEST_F(IdentityFiles, CorruptKeyRefused) {
    Create();
    std::string pem = Slurp(key);
    pem[pem.size() / 2] ^= 0x55;
    Spill(key, pem);
    ExpectRefused();
    Spill(key, "");
    ExpectRefused();
}

TEST_F(IdentityFiles, CorruptCertificateRefused) {
    Create();
    Spill(cert, "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
    ExpectRefused();
}

TEST_F(IdentityFiles, KeyOfAnotherIdentityRefused) {
    Create();
    TempFolder other;
    ASSERT_TRUE(Identity::LoadOrCreate(other.path(), error)) << error;
    Spill(key, Slurp(other.path() + "/key.pem"));
    ExpectRefused();
    EXPECT_NE(error.find("does not match"), std::string::npos) << error;
}

TEST_F(IdentityFiles, KeyReadableByOthersRefused) {
    Create();
    for (unsigned mode : {0644u, 0640u, 0604u, 0400u, 0700u}) {
        ASSERT_EQ(::chmod(key.c_str(), mode), 0);
        ExpectRefused();
        EXPECT_NE(error.find("0600"), std::string::npos) << error;
    }
}

TEST_F(IdentityFiles, HalfAnIdentityRefused) {
    Create();
    std::string keyPem = Slurp(key);
    std::filesystem::remove(cert);
    EXPECT_FALSE(Identity::LoadOrCreate(folder, error));
    EXPECT_EQ(Slurp(key), keyPem);
    EXPECT_FALSE(std::filesystem::exists(cert));
}

TEST(DefaultIdentityFolder, FollowsXdgDataHomeThenHome) {
    std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string savedXdg = xdg ? xdg : "";
    ::setenv("HOME", "/home/u", 1);
    ::setenv("XDG_DATA_HOME", "/data", 1);
    EXPECT_EQ(DefaultIdentityFolder(), "/data/quorell");
    ::setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
    EXPECT_EQ(DefaultIdentityFolder(), "/home/u/.local/share/quorell");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(DefaultIdentityFolder(), "/home/u/.local/share/quorell");
    ::setenv("HOME", savedHome.c_str(), 1);
    if (xdg) ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
}

}  // namespace
}  // namespace quorell
