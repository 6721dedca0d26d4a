// Discovery against a real Avahi daemon, run by scripts/avahi-netns in namespaces of its own
// where the daemon sees only loopback. Elsewhere every test skips.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

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

bool Lists(PeerDiscovery& d, const QString& name, const QString& address = "127.0.0.1") {
    PeerListModel* peers = d.Peers();
    for (int row = 0; row < peers->rowCount(); ++row) {
        if (peers->data(peers->index(row), PeerListModel::NameRole).toString() == name) {
            return peers->data(peers->index(row), PeerListModel::AddressRole).toString() == address;
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

// A multicast DNS response, as another host on the link would send it: a PTR to the instance,
// its SRV and TXT, and the A record of its host.
QByteArray MdnsAnnouncement(const QByteArray& instance, const QByteArray& host, quint32 ipv4) {
    auto u16 = [](QByteArray& out, int v) { out += char(v >> 8), out += char(v & 0xff); };
    auto u32 = [&](QByteArray& out, quint32 v) {
        u16(out, int(v >> 16)), u16(out, int(v & 0xffff));
    };
    auto name = [](const QList<QByteArray>& labels) {
        QByteArray out;
        for (const QByteArray& label : labels) out += char(label.size()) + label;
        return out + '\0';
    };
    auto record = [&](QByteArray& out, const QByteArray& owner, int type, bool flush,
                      const QByteArray& data) {
        out += owner;
        u16(out, type);
        u16(out, flush ? 0x8001 : 0x0001);
        u32(out, 120);
        u16(out, int(data.size()));
        out += data;
    };
    const QByteArray service = name({"_quorell", "_tcp", "local"});
    const QByteArray full = name({instance, "_quorell", "_tcp", "local"});
    const QByteArray target = name({host, "local"});
    QByteArray srv;
    u16(srv, 0), u16(srv, 0), u16(srv, 1001);
    srv += target;
    QByteArray a;
    u32(a, ipv4);
    QByteArray packet;
    u16(packet, 0), u16(packet, 0x8400), u16(packet, 0), u16(packet, 4), u16(packet, 0),
        u16(packet, 0);
    record(packet, service, 12, false, full);
    record(packet, full, 33, true, srv);
    record(packet, full, 16, true, QByteArray(1, '\0'));
    record(packet, target, 1, true, a);
    return packet;
}

// Sends packet to the multicast DNS group on loopback from 127.0.0.2, a host other than the
// daemon's own address.
bool SendMdns(const QByteArray& packet) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    const unsigned char ttl = 255;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    in_addr lo{};
    inet_pton(AF_INET, "127.0.0.2", &lo);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(5353);
    from.sin_addr = lo;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5353);
    inet_pton(AF_INET, "224.0.0.251", &to.sin_addr);
    const bool sent = bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                      sendto(fd, packet.constData(), size_t(packet.size()), 0,
                             reinterpret_cast<sockaddr*>(&to), sizeof to) == packet.size();
    close(fd);
    return sent;
}

TEST(DiscoveryDaemon, HostileNamesAreListedAsPlainTextOrDropped) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery alice("alice@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return alice.Browsing(); }, 10s));
    const quint32 host2 = 0x7f000002;
    const QByteArray markup = "<img src=x onerror=1><b>big</b>&amp;%1";
    const QByteArray lines = "two\nlines\x1b[2J\u202Eevil";
    const QByteArray longest(63, 'w');  // the longest a label may be
    for (const QByteArray& name :
         {markup, lines, longest, QByteArray("bad\xff\xfe<b>\xc3", 9), QByteArray("after@wire")}) {
        ASSERT_TRUE(SendMdns(MdnsAnnouncement(name, "wirehost", host2)));
    }
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Lists(alice, QString::fromUtf8(markup), "127.0.0.2") &&
                   Lists(alice, PeerListModel::CleanName(lines), "127.0.0.2") &&
                   Lists(alice, QString::fromLatin1(longest), "127.0.0.2") &&
                   Lists(alice, "after@wire", "127.0.0.2");
        },
        20s));
    test::Settle(500ms);
    // The daemon may pass the one that is not UTF-8 on or not; listed, it is valid text with
    // the bad bytes replaced and its markup kept literally.
    PeerListModel* peers = alice.Peers();
    for (int row = 0; row < peers->rowCount(); ++row) {
        const QString name = peers->data(peers->index(row), PeerListModel::NameRole).toString();
        std::printf("listed: %s\n", name.toUtf8().constData());
        if (name.startsWith("bad")) {
            EXPECT_TRUE(name.contains("<b>"));
        }
        EXPECT_FALSE(name.contains('\n'));
        EXPECT_LE(name.size(), PeerListModel::kMaxNameLength);
    }
    // The daemon and the discovery go on working.
    PeerDiscovery bob("bob@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return Lists(alice, "bob@test"); }, 20s));
}

TEST(DiscoveryDaemon, AFloodOfInstancesStaysWithinTheBound) {
    REQUIRE_PRIVATE_DAEMON();
    PeerDiscovery alice("alice@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return alice.Browsing(); }, 10s));
    for (int i = 0; i < 200; ++i) {
        const QByteArray n = QByteArray::number(i);
        ASSERT_TRUE(SendMdns(MdnsAnnouncement("flood-" + n, "flood" + n, 0x7f000002)));
    }
    ASSERT_TRUE(
        WaitUntil([&] { return alice.Peers()->rowCount() == PeerListModel::kMaxPeers; }, 20s));
    test::Settle(1s);  // the rest of the flood arrives; earlier tests' instances may leave
    EXPECT_LE(alice.Peers()->rowCount(), PeerListModel::kMaxPeers);
    PeerDiscovery bob("bob@test", 1001);
    ASSERT_TRUE(WaitUntil([&] { return Lists(alice, "bob@test"); }, 20s));  // newest on top
}

}  // namespace
}  // namespace quorell
