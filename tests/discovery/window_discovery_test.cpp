// The window's address box against a real Avahi daemon, run by scripts/avahi-netns in
// namespaces of their own (so the window's fixed ports are free and nothing leaves loopback).
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCompleter>
#include <QLineEdit>
#include <QTest>
#include <chrono>

#include "app/qt_bridge.h"
#include "discovery/peer_discovery.h"
#include "support/two_peers.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;

bool ListsName(QAbstractItemModel* model, const QString& name) {
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 0).data(PeerListModel::NameRole).toString() == name) return true;
    }
    return false;
}

TEST(WindowDiscovery, TheAddressBoxOffersAnnouncedPeersAndTakesTheChosenOne) {
    if (!qEnvironmentVariableIsSet("QUORELL_AVAHI_NETNS")) {
        GTEST_SKIP() << "needs the private Avahi daemon of scripts/avahi-netns (root)";
    }
    // A window as the program makes it: all local addresses, the usual ports.
    test::Peer window("", MakeQtUiBridge(), test::PeerPorts{1001, 8090, 9002});
    ASSERT_TRUE(window.dialogs.calls.empty());
    QLineEdit* box = window.form->Edit1;
    const QRect place = box->geometry();
    QCompleter* completer = box->completer();
    ASSERT_NE(completer, nullptr);

    auto bob = std::make_unique<PeerDiscovery>("bob@test", 1001);
    // Each sees the other, the window under the program's own name.
    ASSERT_TRUE(WaitUntil(
        [&] { return ListsName(bob->Peers(), QString::fromUtf8(PeerDiscovery::DefaultName())); },
        20s));
    ASSERT_TRUE(WaitUntil([&] { return ListsName(completer->model(), "bob@test"); }, 20s));
    EXPECT_EQ(completer->model()->rowCount(), 1);  // not itself

    QTest::mouseClick(box, Qt::LeftButton);
    QAbstractItemView* popup = completer->popup();
    ASSERT_TRUE(WaitUntil([&] { return popup->isVisible(); }, 3s));
    EXPECT_EQ(popup->model()->index(0, 0).data().toString(), "bob@test (127.0.0.1)");
    popup->setCurrentIndex(popup->model()->index(0, 0));
    QTest::keyClick(popup, Qt::Key_Return);
    EXPECT_EQ(box->text(), "127.0.0.1");
    EXPECT_EQ(box->geometry(), place);

    bob.reset();
    ASSERT_TRUE(WaitUntil([&] { return completer->model()->rowCount() == 0; }, 20s));
    EXPECT_TRUE(window.dialogs.calls.empty());
}

}  // namespace
}  // namespace quorell
