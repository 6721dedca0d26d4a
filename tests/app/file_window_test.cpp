// The file buttons of two windows over loopback: offers, acceptances and cancels around a
// transfer, an unreachable peer, and a window that goes away in the middle.
#include <unistd.h>

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/form1.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kAccept = QStringLiteral("接收");
const QString kCancel = QStringLiteral("取消");
const QString kDone = QStringLiteral("恭喜恭喜，文件传送完毕！");
const QString kOffer = QStringLiteral("[系统消息]：对方给你传输了文件，请接收。");

class FileWindowTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ASSERT_TRUE(dir.isValid());
        ConnectBothWays();
    }
    QString Write(const QString& name, qsizetype size) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + i / 977);
        file.write(bytes);
        return path;
    }
    static QByteArray ReadAll(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    static void Offer(Peer& from, const QString& path) {
        from.dialogs.answers.push_back(path);
        QTest::mouseClick(from.form->BitBtn4, Qt::LeftButton);
    }
    // Whether the peer's latest sending run has ended.
    static bool Finished(Peer& peer) {
        const auto run = peer.form->FileSending().CurrentRun();
        return run && run->finished.load();
    }
    static int Count(const Peer& peer, const QString& text) {
        return peer.HistoryText().count(text);
    }
    QTemporaryDir dir;
};

TEST_F(FileWindowTest, AnOfferRepeatedThenAcceptedCancelledAndAcceptedAgain) {
    const QString first = Write(QStringLiteral("first.bin"), 10);
    const QString last = Write(QStringLiteral("last.bin"), 6 * 1024 * 1024);
    const QString target = dir.filePath(QStringLiteral("got.bin"));
    Offer(*a, first);
    Offer(*a, last);
    ASSERT_TRUE(WaitUntil([&] { return Count(*b, kOffer) == 2; }));
    EXPECT_TRUE(b->form->BitBtn7->isEnabled());
    EXPECT_EQ(a->form->SendFilePath, last);

    b->dialogs.answers.push_back(target);
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->Gauge1->value() >= 5; }, std::chrono::seconds(60)));
    // Cancelled and at once accepted again: the cancelled run's end must not end the new one.
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn7->text(), kAccept);
    b->dialogs.answers.push_back(target);
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn7->text(), kCancel);
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.LastText().startsWith(kDone); },
                          std::chrono::seconds(120)))
        << b->dialogs.LastText().toStdString();
    EXPECT_EQ(ReadAll(target), ReadAll(last));
    EXPECT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
    EXPECT_EQ(b->form->BitBtn7->text(), kAccept);
    EXPECT_FALSE(b->form->BitBtn7->isEnabled());
}

TEST_F(FileWindowTest, ARefusedLengthOfItsOwnRunLeavesTheWindowsReceivingAlone) {
    const QString from_a = Write(QStringLiteral("a.bin"), 4 * 1024 * 1024);
    const QString target = dir.filePath(QStringLiteral("from-a.bin"));
    Offer(*a, from_a);
    Offer(*b, Write(QStringLiteral("b.bin"), 100));
    ASSERT_TRUE(WaitUntil([&] { return Count(*a, kOffer) == 1 && Count(*b, kOffer) == 1; }));
    b->dialogs.answers.push_back(target);
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->FileReceiving().Receiving(); }));
    // A accepts B's file and cancels its save dialog: B's run is refused its length.
    QTest::mouseClick(a->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return Finished(*b); }));
    EXPECT_EQ(b->form->BitBtn7->text(), kCancel);
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.LastText().startsWith(kDone); },
                          std::chrono::seconds(60)));
    EXPECT_EQ(ReadAll(target), ReadAll(from_a));
}

TEST_F(FileWindowTest, AnUnreachablePeerChangesNothingButTheOffersPath) {
    // The transfer socket as the window defines it.
    EXPECT_EQ(b->form->IdUDPClient2().ReceiveTimeout, 20000);
    EXPECT_EQ(b->form->IdUDPClient2().Port, kTestFilePort);

    Offer(*a, Write(QStringLiteral("f.bin"), 10));
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    b->form->Edit1->setText(QStringLiteral("127.0.0.9"));  // nobody listens there
    const QString path = Write(QStringLiteral("mine.bin"), 10);
    b->dialogs.answers.push_back(path);
    b->form->BitBtn4Click();
    EXPECT_EQ(b->form->SendFilePath, path);
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn7->text(), kAccept);
    EXPECT_TRUE(b->form->BitBtn4->isEnabled());

    b->form->Edit1->setText(QStringLiteral("127.0.0.1"));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);  // accepted; the save dialog cancelled
    ASSERT_EQ(b->form->BitBtn7->text(), kCancel);
    ASSERT_TRUE(WaitUntil([&] { return Finished(*a); }));
    b->form->Edit1->setText(QStringLiteral("127.0.0.9"));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn7->text(), kCancel);
    EXPECT_FALSE(b->form->BitBtn4->isEnabled());
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("unreachable")), 3);
}

TEST_F(FileWindowTest, ATooLargeFileIsNotOfferedAndTheWindowMayCloseWhileSending) {
    const QString big = dir.filePath(QStringLiteral("big.bin"));
    ASSERT_TRUE(QFile(big).open(QIODevice::WriteOnly));
    ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 2147483648), 0);  // sparse
    const QString small = Write(QStringLiteral("small.bin"), 8 * 1024 * 1024);
    Offer(*a, small);
    Offer(*a, big);
    EXPECT_EQ(a->form->SendFilePath, small);
    EXPECT_TRUE(a->dialogs.LastText().contains(QStringLiteral("2147483648")));

    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    b->dialogs.answers.push_back(dir.filePath(QStringLiteral("got.bin")));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->Gauge1->value() >= 5; }, std::chrono::seconds(60)));
    const auto run = a->form->FileSending().CurrentRun();
    a->form.reset();
    EXPECT_TRUE(WaitUntil([&] { return run->finished.load(); }));
    EXPECT_EQ(Count(*b, kOffer), 1);
}

}  // namespace
}  // namespace quorell::test
