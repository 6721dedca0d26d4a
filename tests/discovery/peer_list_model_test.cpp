// The peer list without a daemon: order, removal, what is never listed, bounds and hostile
// names.
#include <gtest/gtest.h>

#include "discovery/peer_list_model.h"

namespace quorell {
namespace {

QStringList Shown(const PeerListModel& model) {
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        rows << model.data(model.index(row), Qt::DisplayRole).toString();
    }
    return rows;
}

TEST(PeerListModel, NewestFirstRefreshMovesUpAndGoneIsRemoved) {
    PeerListModel model;
    ASSERT_TRUE(model.Add(1, "alice@a", "10.0.0.1"));
    ASSERT_TRUE(model.Add(1, "bob@b", "10.0.0.2"));
    ASSERT_TRUE(model.Add(2, "alice@a", "192.168.1.1"));  // same name on another interface
    EXPECT_EQ(Shown(model),
              (QStringList{"alice@a (192.168.1.1)", "bob@b (10.0.0.2)", "alice@a (10.0.0.1)"}));
    EXPECT_EQ(model.data(model.index(1), PeerListModel::AddressRole).toString(), "10.0.0.2");
    EXPECT_EQ(model.data(model.index(1), PeerListModel::NameRole).toString(), "bob@b");

    // Announced again (a new address after a restart): one row, at the top.
    ASSERT_TRUE(model.Add(1, "bob@b", "10.0.0.3"));
    EXPECT_EQ(Shown(model),
              (QStringList{"bob@b (10.0.0.3)", "alice@a (192.168.1.1)", "alice@a (10.0.0.1)"}));

    model.Remove(2, "alice@a");
    model.Remove(1, "nobody");
    EXPECT_EQ(Shown(model), (QStringList{"bob@b (10.0.0.3)", "alice@a (10.0.0.1)"}));
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(PeerListModel, NonIpv4AndNamesWithNothingToShowAreNeverListed) {
    PeerListModel model;
    EXPECT_FALSE(model.Add(1, "v6@there", "fe80::1"));
    EXPECT_FALSE(model.Add(1, "junk@there", "10.0.0.1; rm -rf /"));
    EXPECT_FALSE(model.Add(1, "short@there", "10.1"));
    EXPECT_FALSE(model.Add(1, "", "10.0.0.1"));
    EXPECT_FALSE(model.Add(1, "\n\t", "10.0.0.1"));  // nothing left to show
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(PeerListModel, FloodKeepsTheNewestWithinTheBound) {
    PeerListModel model;
    for (int i = 0; i < 1000; ++i) {
        model.Add(i % 7, "peer" + QByteArray::number(i),
                  QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256));
    }
    ASSERT_EQ(model.rowCount(), PeerListModel::kMaxPeers);
    EXPECT_EQ(model.data(model.index(0), PeerListModel::NameRole).toString(), "peer999");
    EXPECT_EQ(
        model.data(model.index(PeerListModel::kMaxPeers - 1), PeerListModel::NameRole).toString(),
        QStringLiteral("peer%1").arg(1000 - PeerListModel::kMaxPeers));
}

TEST(PeerListModel, HostileNamesAreShortPlainText) {
    // Markup and place holders stay as they are: the list shows plain text.
    EXPECT_EQ(PeerListModel::CleanName("<b>x</b>&amp;<img src=a>"), "<b>x</b>&amp;<img src=a>");
    PeerListModel model;
    ASSERT_TRUE(model.Add(1, "%2 %1 <i>", "10.0.0.1"));
    EXPECT_EQ(Shown(model), QStringList{"%2 %1 <i> (10.0.0.1)"});

    // Line breaks, escapes and direction overrides would break the row or disguise it.
    EXPECT_EQ(PeerListModel::CleanName("a\nb\r\x1b[31m"), "a\uFFFDb\uFFFD\uFFFD[31m");
    EXPECT_EQ(PeerListModel::CleanName("evil\u202Egnp.exe"), "evil\uFFFDgnp.exe");
    EXPECT_EQ(PeerListModel::CleanName("a\u2028b"), "a\uFFFDb");

    // Bytes that are not UTF-8 are shown as replacement characters, not passed on.
    const QString bad = PeerListModel::CleanName(QByteArray("ok\xff\xfe\xc3", 5));
    EXPECT_TRUE(bad.startsWith("ok"));
    EXPECT_TRUE(bad.mid(2).contains(QChar::ReplacementCharacter));
    EXPECT_FALSE(bad.contains(QChar(0xff)));

    // Long names are cut, never in the middle of a character outside the basic plane.
    EXPECT_EQ(PeerListModel::CleanName(QByteArray(5000, 'x')).size(),
              PeerListModel::kMaxNameLength);
    QByteArray emoji;
    for (int i = 0; i < 40; ++i) emoji += "\xF0\x9F\x98\x80";  // two UTF-16 units each
    const QString cut = PeerListModel::CleanName(emoji);
    EXPECT_EQ(cut.size(), PeerListModel::kMaxNameLength - 1);
    EXPECT_FALSE(cut.back().isHighSurrogate());
}

}  // namespace
}  // namespace quorell
