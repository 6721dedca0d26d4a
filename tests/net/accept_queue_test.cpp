// The control server's queue: addresses take turns, and a full queue makes the address that
// holds the most give way.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "net/accept_queue.h"

namespace quorell::net {
namespace {

using Entry = AcceptQueue::Entry;

// Source address number n: 10.0.0.n.
Address A(int n) {
    return *Address::Parse("10.0.0." + std::to_string(n));
}

std::vector<int> PopAll(AcceptQueue& queue) {
    std::vector<int> fds;
    while (auto e = queue.Pop()) fds.push_back(e->fd);
    return fds;
}

TEST(AcceptQueueTest, AddressesTakeTurnsAndEachKeepsItsOwnOrder) {
    AcceptQueue queue(100);
    // A flood from address 1 ahead of single connections from 2 and 3.
    for (int fd = 10; fd < 15; ++fd) EXPECT_FALSE(queue.Push({fd, A(1)}));
    EXPECT_FALSE(queue.Push({20, A(2)}));
    EXPECT_FALSE(queue.Push({30, A(3)}));
    EXPECT_FALSE(queue.Push({21, A(2)}));
    EXPECT_EQ(queue.size(), 8u);
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 20, 30, 11, 21, 12, 13, 14}));
    EXPECT_TRUE(queue.empty());
    // An address that comes back after its line emptied joins the turns again.
    EXPECT_FALSE(queue.Push({40, A(2)}));
    EXPECT_EQ(queue.Pop()->fd, 40);
    EXPECT_FALSE(queue.Pop());
}

TEST(AcceptQueueTest, AFullQueueMakesTheAddressHoldingTheMostGiveWay) {
    AcceptQueue queue(4);
    for (int fd = 10; fd < 14; ++fd) EXPECT_FALSE(queue.Push({fd, A(1)}));
    // Alone, an address may fill the queue; its next connection is the one turned away.
    auto away = queue.Push({14, A(1)});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 14);
    // Another address gets in at the cost of the flooder's newest connection, until the two
    // hold nearly the same share.
    away = queue.Push({20, A(2)});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 13);
    away = queue.Push({21, A(2)});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 12);
    EXPECT_EQ(queue.Holding(A(1)), 2u);
    EXPECT_EQ(queue.Holding(A(2)), 2u);
    away = queue.Push({22, A(2)});
    ASSERT_TRUE(away);
    EXPECT_EQ(away->fd, 22);
    EXPECT_EQ(queue.size(), 4u);
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 20, 11, 21}));
}

TEST(AcceptQueueTest, AnAddressThatMayNotStartKeepsItsPlaceWhileOthersGoAhead) {
    AcceptQueue queue(100);
    for (int fd = 10; fd < 13; ++fd) queue.Push({fd, A(1)});
    queue.Push({20, A(2)});
    auto not_one = [](const Address& address) { return address != A(1); };
    EXPECT_EQ(queue.Pop(not_one)->fd, 20);
    EXPECT_FALSE(queue.Pop(not_one));
    EXPECT_EQ(queue.size(), 3u);
    queue.Push({21, A(2)});
    EXPECT_EQ(PopAll(queue), (std::vector<int>{10, 21, 11, 12}));
}

TEST(AcceptQueueTest, ParkedConnectionsAreBoundedByTheirBytesApartFromTheDescriptors) {
    const std::string line(99, 'x');  // and one more character to tell them apart
    const std::size_t cost = line.size() + 1 + AcceptQueue::kParkedOverhead;
    AcceptQueue queue(2, 4 * cost);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(queue.Park(A(1), line + std::to_string(i)).empty());
    // Parked ones hold no descriptor: open ones still have all of theirs.
    EXPECT_FALSE(queue.Push({10, A(1)}));
    EXPECT_FALSE(queue.Push({20, A(2)}));
    EXPECT_TRUE(queue.DescriptorsFull());

    // Alone, an address may fill the bytes; then its next parked one is turned away.
    auto away = queue.Park(A(1), line + "4");
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].bytes, line + "4");
    // Another address gets in at the cost of the newest of the one holding the most bytes, until
    // they hold the same.
    away = queue.Park(A(2), line + "a");
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].bytes, line + "3");
    away = queue.Park(A(2), line + "b");
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].bytes, line + "2");
    away = queue.Park(A(2), line + "c");
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].bytes, line + "c");
    EXPECT_EQ(queue.ParkedCost(), 4 * cost);

    // Nothing bigger than all the room is kept.
    away = queue.Park(A(4), std::string(4 * cost, 'z'));
    ASSERT_EQ(away.size(), 1u);
    EXPECT_EQ(away[0].address, A(4));
    EXPECT_EQ(queue.Holding(A(4)), 0u);

    // A big newcomer takes the room of several small ones of the address holding the most.
    AcceptQueue small(2, 4 * cost);
    for (int i = 0; i < 4; ++i) small.Park(A(1), line + "s");
    away = small.Park(A(2), std::string(2 * cost - AcceptQueue::kParkedOverhead, 'y'));
    ASSERT_EQ(away.size(), 2u);
    EXPECT_EQ(away[0].address, A(1));
    EXPECT_EQ(away[1].address, A(1));
    EXPECT_EQ(small.ParkedCost(), 4 * cost);
}

TEST(AcceptQueueTest, OpenConnectionsThatFinishedAreParkedInTheirPlaces) {
    AcceptQueue queue(2);
    EXPECT_FALSE(queue.Push({10, A(1)}));
    EXPECT_TRUE(queue.Park(A(1), "second").empty());
    EXPECT_FALSE(queue.Push({11, A(1)}));
    EXPECT_TRUE(queue.Park(A(1), "fourth").empty());
    EXPECT_TRUE(queue.DescriptorsFull());

    auto away = queue.ParkFinished([](int fd) -> std::optional<std::string> {
        if (fd == 10) return "first";
        return std::nullopt;
    });
    EXPECT_TRUE(away.empty());
    EXPECT_FALSE(queue.DescriptorsFull());
    EXPECT_EQ(queue.Holding(A(1)), 4u);

    std::vector<std::string> order;
    while (auto e = queue.Pop()) order.push_back(e->parked() ? e->bytes : std::to_string(e->fd));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "11", "fourth"}));
}

}  // namespace
}  // namespace quorell::net
