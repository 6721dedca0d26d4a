#include "files/offer_builder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <fstream>

#include "../session/temp_folder.h"
#include "session/message.h"

namespace quorell::files {
namespace {

using session::EntryKind;
using session::OfferEntry;

void WriteFile(const std::string& path, std::size_t size) {
    std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

// A picked folder "album" holding what a real one might: nested folders, an empty one, a
// Chinese name, and what must never be offered.
class PickedTree : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp.path().empty());
        album = tmp.path() + "/album";
        ASSERT_EQ(::mkdir(album.c_str(), 0755), 0);
        WriteFile(album + "/b.txt", 5);
        ASSERT_EQ(::mkdir((album + "/2024").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((album + "/2024/夏天").c_str(), 0755), 0);
        WriteFile(album + "/2024/夏天/海边.jpg", 1000);
        WriteFile(album + "/2024/a.jpg", 0);
        ASSERT_EQ(::mkdir((album + "/empty").c_str(), 0755), 0);
        // Only a symlink inside: offered as an empty folder.
        ASSERT_EQ(::mkdir((album + "/links").c_str(), 0755), 0);
        ASSERT_EQ(::symlink("/etc", (album + "/links/etc").c_str()), 0);
        ASSERT_EQ(::symlink("../b.txt", (album + "/2024/to-b").c_str()), 0);
        ASSERT_EQ(::mkfifo((album + "/pipe").c_str(), 0644), 0);
        // Latin-1 "café": not UTF-8, with a file inside that goes with it.
        const std::string latin1 = album + "/caf\xE9";
        ASSERT_EQ(::mkdir(latin1.c_str(), 0755), 0);
        WriteFile(latin1 + "/inside", 3);
        WriteFile(album + "/r\xE9sum\xE9.txt", 3);
    }

    TempFolder tmp;
    std::string album;
};

TEST_F(PickedTree, WalkKeepsFilesAndFoldersAndCountsWhatItLeftOut) {
    std::string error;
    const auto offer = BuildOffer({album + "/"}, error);
    ASSERT_TRUE(offer) << error;
    const std::vector<OfferEntry> want{
        {EntryKind::kFile, "album/2024/a.jpg", 0},
        {EntryKind::kFile, "album/2024/夏天/海边.jpg", 1000},
        {EntryKind::kFile, "album/b.txt", 5},
        {EntryKind::kFolder, "album/empty", 0},
        {EntryKind::kFolder, "album/links", 0},
    };
    EXPECT_EQ(offer->entries, want);
    EXPECT_EQ(offer->total_bytes, 1005u);
    EXPECT_EQ(offer->skipped_symlinks, 2u);
    EXPECT_EQ(offer->skipped_special, 1u);
    EXPECT_EQ(offer->skipped_bad_names, 2u);  // the folder (with its file) and the file
    EXPECT_EQ(offer->Skipped(), 5u);
    ASSERT_EQ(offer->local_paths.size(), want.size());
    EXPECT_EQ(offer->local_paths[1], album + "/2024/夏天/海边.jpg");
}

TEST_F(PickedTree, PickedItemsKeepTheirOwnNamesAndClashesAreRefused) {
    std::string error;
    // A file, an empty folder and a symlink the user picked (followed: it was chosen).
    ASSERT_EQ(::symlink((album + "/b.txt").c_str(), (tmp.path() + "/chosen-link").c_str()), 0);
    auto offer =
        BuildOffer({album + "/b.txt", album + "/empty", tmp.path() + "/chosen-link"}, error);
    ASSERT_TRUE(offer) << error;
    EXPECT_EQ(offer->entries, (std::vector<OfferEntry>{{EntryKind::kFile, "b.txt", 5},
                                                       {EntryKind::kFolder, "empty", 0},
                                                       {EntryKind::kFile, "chosen-link", 5}}));
    // "." is the folder's real name.
    char* was = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir((album + "/2024").c_str()), 0);
    offer = BuildOffer({"."}, error);
    ASSERT_EQ(::chdir(was), 0);
    std::free(was);
    ASSERT_TRUE(offer) << error;
    EXPECT_EQ(offer->entries.front().path, "2024/a.jpg");

    EXPECT_FALSE(BuildOffer({album + "/b.txt", album + "/2024/../b.txt"}, error));
    EXPECT_NE(error.find("b.txt"), std::string::npos) << error;
    EXPECT_FALSE(BuildOffer({album + "/missing"}, error));
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(BuildOffer({album + "/pipe"}, error));
    EXPECT_FALSE(BuildOffer({"/"}, error));
    EXPECT_FALSE(BuildOffer({}, error));
    // Only what cannot be offered: the user is told how much was left out.
    offer = BuildOffer({album + "/links"}, error);
    ASSERT_TRUE(offer) << error;
    EXPECT_EQ(offer->entries, (std::vector<OfferEntry>{{EntryKind::kFolder, "links", 0}}));
    EXPECT_FALSE(BuildOffer({album + "/r\xE9sum\xE9.txt"}, error));
    EXPECT_NE(error.find("1 left out"), std::string::npos) << error;
}

TEST_F(PickedTree, TheEntryLimitIsAClearErrorNotACutOffer) {
    std::string error;
    EXPECT_TRUE(BuildOffer({album}, error, 5)) << error;  // exactly five entries
    EXPECT_FALSE(BuildOffer({album}, error, 4));
    EXPECT_NE(error.find("more than 4"), std::string::npos) << error;
}

TEST_F(PickedTree, PathsBeyondTheLimitAreLeftOutAndCounted) {
    // Folders to just under the limit, then a file name that passes it.
    std::string deep = album;
    std::string relative = "album";
    while (relative.size() < 3950) {
        const std::string part(std::min<std::size_t>(200, 3950 - relative.size()), 'd');
        deep += "/" + part;
        relative += "/" + part;
        ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0) << relative.size();
    }
    const int folder = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    const int file = ::openat(folder, std::string(250, 'f').c_str(), O_WRONLY | O_CREAT, 0644);
    EXPECT_GE(file, 0);
    ::close(file);
    ::close(folder);
    std::string error;
    const auto offer = BuildOffer({album}, error);
    ASSERT_TRUE(offer) << error;
    EXPECT_EQ(offer->skipped_long_paths, 1u);
    // The folder that held it still goes, as an empty one.
    EXPECT_NE(std::find(offer->entries.begin(), offer->entries.end(),
                        OfferEntry{EntryKind::kFolder, relative, 0}),
              offer->entries.end());
    for (const auto& e : offer->entries) EXPECT_LE(e.path.size(), session::kMaxPathBytes);
}

TEST(OfferMessages, ABigManifestIsCutIntoMessagesUnderTheLimitThatReadBackWhole) {
    Offer offer;
    for (int i = 0; i < 20000; ++i) {
        const std::string folder = "photos/" + std::to_string(i / 100) + "/";
        offer.entries.push_back(i % 1000 == 999
                                    ? OfferEntry{EntryKind::kFolder, folder + "empty", 0}
                                    : OfferEntry{EntryKind::kFile,
                                                 folder + std::string(100 + i % 100, 'n') + "照片",
                                                 static_cast<std::uint64_t>(i) * 1000});
        offer.total_bytes += offer.entries.back().size;
    }
    const auto messages = AllOfferMessages(42, offer);
    ASSERT_GE(messages.size(), 5u);  // begin, at least three of entries, end

    session::MessageReader reader;
    std::vector<session::Message> got;
    ASSERT_TRUE(reader.Feed(session::Encode(session::Hello{1, "t", {}, 0, ""}), got));
    for (const auto& m : messages) {
        const std::string bytes = session::Encode(m);
        ASSERT_FALSE(bytes.empty());
        EXPECT_LE(bytes.size(), session::kMaxPayload);
        ASSERT_TRUE(reader.Feed(bytes, got));
    }
    ASSERT_EQ(got.size(), messages.size() + 1);
    const auto& begin = std::get<session::OfferBegin>(std::get<session::FileMessage>(got[1]));
    EXPECT_EQ(begin.offer, 42u);
    EXPECT_EQ(begin.entry_count, 20000u);
    EXPECT_EQ(begin.total_bytes, offer.total_bytes);
    std::vector<OfferEntry> back;
    for (std::size_t i = 2; i + 1 < got.size(); ++i) {
        const auto& part = std::get<session::OfferEntries>(std::get<session::FileMessage>(got[i]));
        EXPECT_EQ(part.first_index, back.size());
        back.insert(back.end(), part.entries.begin(), part.entries.end());
    }
    EXPECT_EQ(back, offer.entries);
    EXPECT_EQ(std::get<session::FileMessage>(got.back()),
              session::FileMessage{session::OfferEnd{42}});

    // A small limit still puts one entry in each message and loses none.
    OfferMessages tight(1, offer, 10);
    std::size_t entries = 0, parts = 0;
    while (auto m = tight.Next())
        if (auto* e = std::get_if<session::OfferEntries>(&*m))
            entries += e->entries.size(), ++parts;
    EXPECT_EQ(entries, offer.entries.size());
    EXPECT_EQ(parts, offer.entries.size());
}

TEST(OfferMessages, AnAcceptIsCheckedAgainstTheOffer) {
    Offer offer;
    offer.entries = {{EntryKind::kFile, "d/a", 10}, {EntryKind::kFolder, "d/e", 0}};
    EXPECT_EQ(CheckAccept(offer, {1, true, {{0, 10, {}}}}), "");
    EXPECT_NE(CheckAccept(offer, {1, true, {{0, 11, {}}}}), "");
    EXPECT_NE(CheckAccept(offer, {1, true, {{1, 0, {}}}}), "");
    EXPECT_NE(CheckAccept(offer, {1, true, {{2, 0, {}}}}), "");
}

}  // namespace
}  // namespace quorell::files
