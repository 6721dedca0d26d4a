// The control server's queue: addresses take turns, and a full queue makes the address that
// holds the most give way.

#include <gtest/gtest.h>

#include <vector>

#include "net/accept_queue.h"

namespace quorell::net {
namespace {

using Entry = AcceptQueue::Entry;

std::vector<int> PopAll(AcceptQueue& queue) {
    std::vector<int> fds;
    while (auto e = queue.Pop()) fds.push_back(e->fd);
    return fds;
}

TEST(AcceptQueueTest, AddressesTakeTurnsAndEachKeepsItsOwnOrder) {
    AcceptQueue queue(100);
    // A flood from address 1 ahead of single connections from 2 and 3.
    for (int fd = 10; fd < 15; ++fd) EXPECT_FALSE(queue.Push({fd, 1}));
    EXPECT_FALSE(queue.Push({20, 2}));
    EXPECT_FALSE(queue.Push({30, 3}));
    EXPECT_FALSE(queue.Push({21, 2}));
    EXPECT_EQ(queue.size(), 8u);
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 20, 30, 11, 21, 12, 13, 14}));
    EXPECT_TRUE(queue.empty());
    // An address that comes back after its line emptied joins the turns again.
    EXPECT_FALSE(queue.Push({40, 2}));
    EXPECT_EQ(queue.Pop()->fd, 40);
    EXPECT_FALSE(queue.Pop());
}

TEST(AcceptQueueTest, AFullQueueMakesTheAddressHoldingTheMostGiveWay) {
    AcceptQueue queue(4);
    for (int fd = 10; fd < 14; ++fd) EXPECT_FALSE(queue.Push({fd, 1}));
    // Alone, an address may fill the queue; its next connection is the one turned away.
    auto away = queue.Push({14, 1});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 14);
    // Another address gets in at the cost of the flooder's newest connection, until the two
    // hold nearly the same share.
    away = queue.Push({20, 2});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 13);
    away = queue.Push({21, 2});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 12);
    EXPECT_EQ(queue.Holding(1), 2u);
    EXPECT_EQ(queue.Holding(2), 2u);
    away = queue.Push({22, 2});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 22);
    EXPECT_EQ(queue.size(), 4u);
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 20, 11, 21}));
}

TEST(AcceptQueueTest, AnAddressThatMayNotStartKeepsItsPlaceWhileOthersGoAhead) {
    AcceptQueue queue(100);
    for (int fd = 10; fd < 13; ++fd) queue.Push({fd, 1});
    queue.Push({20, 2});
    auto not_one = [](std::uint32_t address) { return address != 1; };
    EXPECT_EQ(queue.Pop(not_one)->fd, 20);
    EXPECT_FALSE(queue.Pop(not_one));
    EXPECT_EQ(queue.size(), 3u);
    queue.Push({21, 2});
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 21, 11, 12}));
}

}  // namespace
}  // namespace quorell::net
