// What discovery makes of the daemon's reports, fed directly: which instances are listed and
// how lookups are shared out during a flood.
#include <gtest/gtest.h>

#include "discovery/peer_lookups.h"

namespace quorell {
namespace {

using Key = PeerLookups::Key;

QStringList Names(const PeerListModel& model) {
    QStringList names;
    for (int row = 0; row < model.rowCount(); ++row) {
        names << model.data(model.index(row), PeerListModel::NameRole).toString();
    }
    return names;
}

// Looks key up and ends the lookup at once with what the daemon found.
void Find(PeerLookups& lookups, const Key& key, const QString& address, const QByteArray& run_id) {
    lookups.Appeared(key);
    ASSERT_EQ(lookups.Next(), key);
    lookups.Ended(key, address, run_id);
}

TEST(PeerLookups, OwnIsToldByTheRunIdWhateverTheName) {
    PeerListModel model;
    PeerLookups lookups("ours", &model, 4, 4);
    // Another machine with our user and host name, which we held before the clash renamed us.
    Find(lookups, {1, "carol@test"}, "10.0.0.2", "theirs");
    Find(lookups, {1, "carol@test #2"}, "10.0.0.1", "ours");
    // Our own under the name we held a moment ago, and on another interface.
    Find(lookups, {1, "carol@test"}, "10.0.0.1", "ours");
    Find(lookups, {2, "carol@test #2"}, "192.168.0.1", "ours");
    // Without an id (another program's) it is someone else's; a failed lookup lists nothing.
    Find(lookups, {1, "dave@test"}, "10.0.0.3", "");
    Find(lookups, {1, "erin@test"}, "", "theirs");
    EXPECT_EQ(Names(model), (QStringList{"dave@test", "carol@test"}));
    EXPECT_EQ(model.data(model.index(1), PeerListModel::AddressRole).toString(), "10.0.0.2");
    EXPECT_EQ(lookups.Pending(), 0u);
}

TEST(PeerLookups, AFloodWaitsForFreeLookupsAndKeepsTheNewest) {
    PeerListModel model;
    PeerLookups lookups("ours", &model, 4, 8);
    auto key = [](int i) { return Key{1, "flood-" + QByteArray::number(i)}; };
    std::vector<Key> started;
    for (int i = 0; i < 20; ++i) {
        lookups.Appeared(key(i));
        while (auto next = lookups.Next()) started.push_back(*next);
    }
    lookups.Appeared(key(19));  // again while it waits: still once
    EXPECT_EQ(started, (std::vector<Key>{key(0), key(1), key(2), key(3)}));
    EXPECT_EQ(lookups.Waiting(), 8u);  // flood-12 to flood-19

    // A free lookup goes to the oldest that still waits; one that left waits no more.
    lookups.Ended(key(0), "10.0.0.1", "");
    EXPECT_EQ(lookups.Next(), key(12));
    EXPECT_FALSE(lookups.Next());
    EXPECT_FALSE(lookups.Went(key(13)));
    EXPECT_TRUE(lookups.Went(key(1)));  // pending: the caller cancels it
    EXPECT_EQ(lookups.Next(), key(14));
    lookups.Appeared(key(14));  // pending already
    EXPECT_EQ(lookups.Waiting(), 5u);

    // Every one still there is looked up in the end.
    for (const Key& k : {key(2), key(3), key(12), key(14)}) lookups.Ended(k, "10.0.0.2", "");
    while (auto next = lookups.Next()) lookups.Ended(*next, "10.0.0.3", "");
    EXPECT_EQ(Names(model).size(), 10);
    EXPECT_EQ(Names(model).front(), "flood-19");
    EXPECT_FALSE(Names(model).contains("flood-13"));
}

TEST(PeerLookups, WhatWentIsNotListedAgainByALateAnswerAndClearForgetsAll) {
    PeerListModel model;
    PeerLookups lookups("ours", &model, 4, 4);
    Find(lookups, {1, "bob@test"}, "10.0.0.2", "theirs");
    lookups.Appeared({1, "dave@test"});
    ASSERT_TRUE(lookups.Next());
    EXPECT_TRUE(lookups.Went({1, "dave@test"}));
    lookups.Ended({1, "dave@test"}, "10.0.0.4", "theirs");  // answered after it left
    EXPECT_EQ(Names(model), QStringList{"bob@test"});
    EXPECT_FALSE(lookups.Went({1, "bob@test"}));
    EXPECT_EQ(model.rowCount(), 0);

    Find(lookups, {1, "c"}, "10.0.0.5", "");
    lookups.Appeared({1, "a"});
    lookups.Appeared({1, "b"});
    ASSERT_TRUE(lookups.Next());
    lookups.Clear();
    EXPECT_EQ(lookups.Pending() + lookups.Waiting(), 0u);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(lookups.Next());
}

}  // namespace
}  // namespace quorell
