// Closing the window while a file moves: the user is asked first; "no" keeps the window and
// the transfer, "yes" stops it and the peer hears it as it hears every stop of a transfer.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/form1.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kAsk = QStringLiteral("yes or no");

class CloseTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ASSERT_TRUE(dir.isValid());
        ConnectBothWays();
        // Large enough to be still moving while the test closes a window.
        const QString path = dir.filePath(QStringLiteral("big.bin"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray block(1024 * 1024, 'q');
        for (int i = 0; i < 64; ++i) file.write(block);
        file.close();
        a->dialogs.answers.push_back(path);
        QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
        b->dialogs.answers.push_back(dir.filePath(QStringLiteral("received.bin")));
        QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return b->form->FileReceiving().BytesTaken() > 0; }));
    }

    bool Moving() {
        const std::int64_t before = b->form->FileReceiving().BytesTaken();
        return WaitUntil([&] { return b->form->FileReceiving().BytesTaken() > before; });
    }

    QTemporaryDir dir;
};

TEST_F(CloseTest, TheSenderIsAskedAndANoKeepsTheTransferAYesEndsItAtThePeer) {
    a->form->close();
    ASSERT_EQ(a->dialogs.Count(kAsk), 1);
    EXPECT_TRUE(a->dialogs.LastText().contains(QStringLiteral("文件正在传送")))
        << a->dialogs.LastText().toStdString();
    EXPECT_TRUE(a->form->isVisible());
    EXPECT_EQ(a->form->FileSending().State(), SendState::Sending);
    EXPECT_TRUE(Moving());

    a->dialogs.yes_answers.push_back(true);
    a->form->close();
    EXPECT_EQ(a->dialogs.Count(kAsk), 2);
    EXPECT_FALSE(a->form->isVisible());
    EXPECT_EQ(a->form->FileSending().State(), SendState::Idle);
    // The receiver closes its file with what arrived and says it is incomplete.
    ASSERT_TRUE(WaitUntil([&] {
        return b->dialogs.LastText().startsWith(QStringLiteral("文件没有传送完整"));
    })) << b->dialogs.LastText().toStdString();
    EXPECT_EQ(b->form->FileReceiving().State(), ReceiveState::Idle);
}

TEST_F(CloseTest, TheReceiverWhoClosesCancelsAndTheSenderIsFree) {
    b->form->close();
    ASSERT_EQ(b->dialogs.Count(kAsk), 1);
    EXPECT_TRUE(b->form->isVisible());
    EXPECT_TRUE(Moving());

    b->dialogs.yes_answers.push_back(true);
    b->form->close();
    EXPECT_FALSE(b->form->isVisible());
    EXPECT_NE(b->form->FileReceiving().State(), ReceiveState::Accepted);
    ASSERT_TRUE(WaitUntil([&] { return a->form->FileSending().State() == SendState::Idle; }));
    EXPECT_TRUE(a->form->BitBtn4->isEnabled());
    EXPECT_EQ(a->dialogs.Count(kAsk), 0);
}

// Over the session an offer the peer has not answered yet is a transfer too: its sender is
// asked, and what the peer hears is what the session's close already tells it.
TEST_F(TwoPeers, OverTheSessionTheSenderOfAnOfferIsAskedAndItsCloseWithdrawsIt) {
    StartWithSessions();
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->form->SessionOpen() && b->form->SessionOpen(); }));
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("offered.bin"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(100000, 's'));
    file.close();
    a->dialogs.file_lists.push_back({path});
    a->form->SendMenu()->actions().at(0)->trigger();
    ASSERT_TRUE(WaitUntil([&] {
        return b->form->BitBtn7->isEnabled() && b->form->BitBtn7->text() == QStringLiteral("接收");
    }));

    a->form->close();
    EXPECT_EQ(a->dialogs.Count(kAsk), 1);
    EXPECT_TRUE(a->form->isVisible());
    EXPECT_TRUE(a->form->SessionOpen());

    a->dialogs.yes_answers.push_back(true);
    a->form->close();
    EXPECT_FALSE(a->form->isVisible());
    a.reset();  // the program's end, where the session closes
    EXPECT_TRUE(WaitUntil([&] { return !b->form->BitBtn7->isEnabled(); }));
    EXPECT_EQ(b->dialogs.Count(kAsk), 0);
}

}  // namespace
}  // namespace quorell::test
