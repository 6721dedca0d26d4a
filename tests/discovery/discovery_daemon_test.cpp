// Discovery against a real Avahi daemon, run by scripts/avahi-netns in namespaces of its own
// where the daemon sees only loopback. Elsewhere every test skips.
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "discovery/avahi_qt_poll.h"
#include "discovery/peer_discovery.h"
#include "support/wait.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

bool InPrivateDaemonNamespace() {
    return qEnvironmentVariableIsSet("QUORELL_AVAHI_NETNS");
}

#define REQUIRE_PRIVATE_DAEMON()                                                           \
    if (!InPrivateDaemonNamespace())                                                       \
    GTEST_SKIP() << "needs the private Avahi daemon of scripts/avahi-netns (root); never " \
                    "run against the machine's daemon"

bool Lists(PeerDiscovery& d, const QString& name) {
    PeerListModel* peers = d.Peers();
    for (int row = 0; row < peers->rowCount(); ++row) {
        if (peers->data(peers->index(row), PeerListModel::NameRole).toString() == name) {
            return peers->data(peers->index(row), PeerListModel::AddressRole).toString() ==
                   "127.0.0.1";
        }
    }
    return false;
}

bool ListsOnly(PeerDiscovery& d, const QString& name) {
    return d.Peers()->rowCount() == 1 && Lists(d, name);
}

void StopDaemon() {
    // -k waits for the daemon to be reaped, which the namespace's first process may not do at
    // once; the pid file goes as the daemon ends.
    std::system("avahi-daemon -k 2>/dev/null");
    ASSERT_TRUE(WaitUntil([] { return std::system("avahi-daemon -c 2>/dev/null") != 0; }, 10s));
}

void StartDaemon() {
    ASSERT_EQ(std::system(qgetenv("QUORELL_AVAHI_START").constData()), 0);
    ASSERT_TRUE(WaitUntil([] { return std::system("avahi-daemon -c 2>/dev/null") == 0; }, 10s));
}

TEST(DiscoveryDaemon, TwoInstancesFindEachOtherAndOneThatQuitsGoes) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery alice("alice@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return alice.Browsing(); }, 10s));

    QElapsedTimer since_start;
    since_start.start();
    auto bob = std::make_unique<PeerDiscovery>("bob@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return Lists(alice, "bob@test"); }, 20s));
    const qint64 found_ms = since_start.elapsed();
    std::printf("publish to appearance in the other's list: %lld ms\n",
                static_cast<long long>(found_ms));
    ASSERT_TRUE(WaitUntil([&] { return Lists(*bob, "alice@test"); }, 20s));
    EXPECT_TRUE(ListsOnly(alice, "bob@test"));  // never itself
    EXPECT_TRUE(ListsOnly(*bob, "alice@test"));

    since_start.restart();
    bob.reset();
    ASSERT_TRUE(WaitUntil([&] { return alice.Peers()->rowCount() == 0; }, 20s));
    std::printf("quit to removal from the other's list: %lld ms\n",
                static_cast<long long>(since_start.elapsed()));
}

TEST(DiscoveryDaemon, SameNameTwiceGetsAVariantAndBothAreListed) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery first("carol@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return first.Browsing(); }, 10s));
    test::Settle(1500ms);  // first has its name before second asks
    // Another host: the same name with another port is a clash.
    PeerDiscovery second("carol@test", 1002);
    ASSERT_TRUE(WaitUntil([&] { return second.AnnouncedName() != "carol@test"; }, 20s));
    ASSERT_TRUE(
        WaitUntil([&] { return Lists(first, QString::fromUtf8(second.AnnouncedName())); }, 20s));
    ASSERT_TRUE(WaitUntil([&] { return Lists(second, "carol@test"); }, 20s));
    EXPECT_EQ(first.Peers()->rowCount(), 1);
    EXPECT_EQ(second.Peers()->rowCount(), 1);
}

TEST(DiscoveryDaemon, DaemonGoneAndBackBringsDiscoveryBack) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery alice("alice@test", 1001);
    PeerDiscovery bob("bob@test", 1001);
    ASSERT_TRUE(
        WaitUntil([&] { return Lists(alice, "bob@test") && Lists(bob, "alice@test"); }, 20s));

    StopDaemon();
    ASSERT_TRUE(WaitUntil([&] { return !alice.Browsing() && !bob.Browsing(); }, 10s));
    EXPECT_EQ(alice.Peers()->rowCount(), 0);
    // One that starts while the daemon is away waits for it quietly.
    PeerDiscovery dave("dave@test", 1001);
    test::Settle(500ms);
    EXPECT_FALSE(dave.Browsing());

    StartDaemon();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Lists(alice, "bob@test") && Lists(alice, "dave@test") &&
                   Lists(bob, "alice@test") && Lists(dave, "alice@test");
        },
        30s));
}

// Announces one service under a name of the test's choosing, as a hostile host would.
class RawAnnouncer {
public:
    explicit RawAnnouncer(const char* name) {
        int error = 0;
        client_ = avahi_client_new(poll_.Api(), AvahiClientFlags{}, nullptr, nullptr, &error);
        if (client_ == nullptr) return;
        group_ = avahi_entry_group_new(client_, nullptr, nullptr);
        if (group_ == nullptr) return;
        ok_ = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                            AvahiPublishFlags{}, name, "_quorell._tcp", nullptr,
                                            nullptr, 1001, nullptr) == AVAHI_OK &&
              avahi_entry_group_commit(group_) == AVAHI_OK;
    }
    ~RawAnnouncer() {
        if (client_ != nullptr) avahi_client_free(client_);
    }
    bool ok() const { return ok_; }

private:
    AvahiQtPoll poll_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    bool ok_ = false;
};

TEST(DiscoveryDaemon, HostileNamesAreListedAsPlainTextWithinBounds) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery alice("alice@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return alice.Browsing(); }, 10s));
    const QByteArray markup = "<img src=x onerror=1><b>big</b>&amp;%1";
    const QByteArray lines = "two\nlines\x1b[2J\u202Eevil";
    const QByteArray longest(63, 'w');  // the longest a label may be
    RawAnnouncer a(markup.constData()), b(lines.constData()), c(longest.constData());
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    // Earlier tests' instances may linger in the daemon's cache for a moment.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Lists(alice, QString::fromUtf8(markup)) &&
                   Lists(alice, PeerListModel::CleanName(lines)) &&
                   Lists(alice, QString::fromLatin1(longest));
        },
        20s));
    EXPECT_FALSE(PeerListModel::CleanName(lines).contains('\n'));
}

}  // namespace
}  // namespace quorell
