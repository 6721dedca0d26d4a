// Discovery with no system bus or daemon to talk to, and the name it announces.
#include <gtest/gtest.h>

#include <chrono>

#include "discovery/peer_discovery.h"
#include "support/wait.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;

TEST(PeerDiscovery, WithoutABusItStaysQuietEmptyAndEndsCleanly) {
    // Nothing listens there: every connection attempt, and the later retries, fail.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quorell-test-bus");
    {
        PeerDiscovery discovery("alice@test", 1001);
        test::Settle(2500ms);  // past the first retry
        EXPECT_FALSE(discovery.Browsing());
        EXPECT_EQ(discovery.Peers()->rowCount(), 0);
        EXPECT_EQ(discovery.AnnouncedName(), "alice@test");
    }
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(PeerDiscovery, AnnouncedNamesFitALabelAndAreUtf8) {
    EXPECT_EQ(PeerDiscovery::ValidName("bob@host"), "bob@host");
    EXPECT_EQ(PeerDiscovery::ValidName(""), "quorell");
    EXPECT_EQ(PeerDiscovery::ValidName(QByteArray(200, 'x')), QByteArray(63, 'x'));
    // 30 three-byte characters do not fit in 63 bytes; the cut falls between characters.
    QByteArray wide;
    for (int i = 0; i < 30; ++i) wide += "\xE4\xBD\xA0";
    const QByteArray cut = PeerDiscovery::ValidName(wide);
    EXPECT_EQ(cut, wide.left(63));
    QByteArray four = "a" + QByteArray(16, 'x');
    for (int i = 0; i < 20; ++i) four += "\xF0\x9F\x98\x80";  // outside the basic plane
    const QByteArray emoji = PeerDiscovery::ValidName(four);
    EXPECT_LE(emoji.size(), 63);
    EXPECT_TRUE(QString::fromUtf8(emoji).toUtf8() == emoji);
    EXPECT_FALSE(QString::fromUtf8(emoji).contains(QChar::ReplacementCharacter));
    const QByteArray bad = PeerDiscovery::ValidName(QByteArray("me\xff\xfe", 4));
    EXPECT_EQ(QString::fromUtf8(bad).toUtf8(), bad);
    const QByteArray own = PeerDiscovery::DefaultName();
    EXPECT_FALSE(own.isEmpty());
    EXPECT_LE(own.size(), 63);
}

}  // namespace
}  // namespace quorell
