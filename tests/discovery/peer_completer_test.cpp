// The address box's list of peers: what it shows and what choosing a peer does to the box.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

#include "discovery/peer_completer.h"
#include "discovery/peer_list_model.h"

namespace quorell {
namespace {

// A window with the address box where the main window has it, and the list under it.
class PeerCompleterTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(300, 100);
        box = new QLineEdit(&window);
        box->setGeometry(136, 18, 97, 20);
    }
    // Attaches the list, shows the window and puts the focus in the box.
    void Show() {
        completer = AttachPeerCompleter(box, &model);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        box->setFocus();
    }

    QWidget window;
    QLineEdit* box = nullptr;
    PeerListModel model;
    QCompleter* completer = nullptr;
};

TEST_F(PeerCompleterTest, ChoosingAPeerPutsItsAddressInTheBoxWhichStaysPut) {
    model.Add(1, "alice@a", "10.0.0.1");
    model.Add(1, "<b>bob</b>@b", "10.0.0.2");
    ASSERT_NO_FATAL_FAILURE(Show());

    // Down on the box opens the whole list, newest first, names as typed.
    QTest::keyClick(box, Qt::Key_Down);
    QAbstractItemView* popup = completer->popup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return popup->isVisible(); }, 3000));
    ASSERT_EQ(popup->model()->rowCount(), 2);
    EXPECT_EQ(popup->model()->index(0, 0).data().toString(), "<b>bob</b>@b (10.0.0.2)");
    EXPECT_EQ(box->geometry(), QRect(136, 18, 97, 20));

    QSignalSpy changed(box, &QLineEdit::textChanged);
    popup->setCurrentIndex(popup->model()->index(1, 0));
    QTest::keyClick(popup, Qt::Key_Return);
    EXPECT_EQ(box->text(), "10.0.0.1");
    EXPECT_FALSE(popup->isVisible());
    EXPECT_GE(changed.count(), 1);
    EXPECT_EQ(box->geometry(), QRect(136, 18, 97, 20));

    // Typing narrows the list by address.
    box->clear();
    QTest::keyClicks(box, "10.0.0.2");
    ASSERT_TRUE(QTest::qWaitFor([&] { return popup->isVisible(); }, 3000));
    EXPECT_EQ(completer->completionCount(), 1);
}

TEST_F(PeerCompleterTest, TheListIsWideEnoughForNameAndAddressAsPeersCome) {
    ASSERT_NO_FATAL_FAILURE(Show());

    // A peer found after the list was made, with a long name; the address at its end shows.
    model.Add(1, "root@vm #2 on the long desk", "192.168.100.200");
    QTest::keyClick(box, Qt::Key_Down);
    QAbstractItemView* popup = completer->popup();
    ASSERT_TRUE(QTest::qWaitFor([&] { return popup->isVisible(); }, 3000));
    const QString row = popup->model()->index(0, 0).data().toString();
    EXPECT_TRUE(row.endsWith("(192.168.100.200)"));
    EXPECT_GT(popup->width(), box->width());
    EXPECT_GE(popup->viewport()->width(), popup->sizeHintForColumn(0));
    EXPECT_EQ(box->geometry(), QRect(136, 18, 97, 20));
}

TEST(PeerCompleter, AnEmptyListOpensNothingAndTheBoxWorksAsBefore) {
    QLineEdit box;
    PeerListModel model;
    QCompleter* completer = AttachPeerCompleter(&box, &model);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    QTest::keyClicks(&box, "127.0.0.2");
    QTest::keyClick(&box, Qt::Key_Down);
    QTest::qWait(50);
    EXPECT_FALSE(completer->popup()->isVisible());
    EXPECT_EQ(box.text(), "127.0.0.2");
}

}  // namespace
}  // namespace quorell
