// Files moved between two windows over loopback, compared byte for byte, and the file buttons
// around a transfer: repeated offers, cancelling and accepting again, an unreachable peer, a
// window that goes away in the middle.
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "app/form1.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kDone = QStringLiteral("恭喜恭喜，文件传送完毕！");
const QString kAccept = QStringLiteral("接收");
const QString kCancel = QStringLiteral("取消");
const QString kOffer = QStringLiteral("[系统消息]：对方给你传输了文件，请接收。");

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(generator.generate());
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class FileTransferTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(a->form->IdUDPServer2.Active());
        ASSERT_TRUE(b->form->IdUDPServer2.Active());
        ConnectBothWays();
    }

    QString Write(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    // A offers the file at path, B accepts and saves it as save_as. Does not wait for the end.
    void Offer(const QString& path, const QString& save_as) {
        a->dialogs.answers.push_back(path);
        QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
        b->dialogs.answers.push_back(save_as);
        QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
        ASSERT_EQ(b->form->BitBtn7->text(), QStringLiteral("取消"));
    }

    // B's box at the end of a transfer (the number of boxes B had before is `before`).
    bool WaitForBox(int before = 0) {
        return WaitUntil([&] { return b->dialogs.Count(QStringLiteral("plain")) > before; },
                         std::chrono::seconds(60));
    }

    // Sends bytes from A to B and returns what B saved.
    QByteArray Transfer(const QString& name, const QByteArray& bytes) {
        const QString source = Write(name, bytes);
        const QString target = dir.filePath(QStringLiteral("received-") + name);
        const int boxes = b->dialogs.Count(QStringLiteral("plain"));
        Offer(source, target);
        if (!WaitForBox(boxes)) return "<no end>";
        // The completion box may say the average speed on a further line.
        EXPECT_TRUE(b->dialogs.LastText().startsWith(kDone))
            << name.toStdString() << b->dialogs.LastText().toStdString();
        return ReadAll(target);
    }

    // The offer alone, from either side.
    static void OfferFrom(Peer& from, const QString& path) {
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

TEST_F(FileTransferTest, FilesOfEverySizeArriveByteForByte) {
    for (qsizetype size : {0, 1, 1023, 1024, 1025, 3 * 1024 * 1024 + 17}) {
        const QByteArray bytes = RandomBytes(size, static_cast<quint32>(size));
        EXPECT_EQ(Transfer(QStringLiteral("f%1.bin").arg(size), bytes), bytes) << size;
        // Both sides are ready for the next one, and the sender hears of the success.
        ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
        EXPECT_FALSE(b->form->BitBtn7->isEnabled());
        EXPECT_EQ(b->form->BitBtn7->text(), QStringLiteral("接收"));
        EXPECT_FALSE(a->form->Gauge1->isVisible());
        EXPECT_FALSE(b->form->Gauge1->isVisible());
    }
    EXPECT_TRUE(WaitUntil([&] {
        return a->HistoryText().count(QStringLiteral("[系统消息]：恭喜恭喜，文件传送完毕！")) == 6;
    }));
    // No partial file is left beside the received ones.
    EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*.part")}, QDir::Files).isEmpty());
}

TEST_F(FileTransferTest, MarkersInsideTheFileAndAGbkNameArriveIntact) {
    // Each marker inside a chunk, at the start of a chunk, and the end marker as the whole
    // last chunk.
    QByteArray bytes = RandomBytes(3000, 7);
    bytes.insert(100, "Send file:File Name:C:\\x.txt");
    bytes.insert(1024, "Send File:File Length:12");
    bytes.insert(2048, "Send File:File End!");
    bytes.insert(2500, "Send File:File End!");
    bytes.truncate(4096);
    bytes.append("Send File:File End!");
    const QString name = QStringLiteral("中文名字·档案.bin");
    EXPECT_EQ(Transfer(name, bytes), bytes);
    // The proposed name is the sender's base name.
    bool proposed = false;
    for (const auto& call : b->dialogs.calls) proposed |= call.text == name;
    EXPECT_TRUE(proposed);
}

TEST_F(FileTransferTest, ProgressOfAnEightKilobyteFile) {
    std::vector<int> sent, received;
    QObject::connect(a->form->Gauge1, &QProgressBar::valueChanged,
                     [&](int value) { sent.push_back(value); });
    QObject::connect(b->form->Gauge1, &QProgressBar::valueChanged,
                     [&](int value) { received.push_back(value); });
    const QByteArray bytes = RandomBytes(8192, 3);
    EXPECT_EQ(Transfer(QStringLiteral("eight.bin"), bytes), bytes);
    const std::vector<int> expected{12, 25, 38, 50, 62, 75, 88, 100};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(received, expected);
}

TEST_F(FileTransferTest, CancelDuringTheTransferKeepsThePartAndReportsIt) {
    const QByteArray bytes = RandomBytes(8 * 1024 * 1024, 11);
    const QString target = dir.filePath(QStringLiteral("big.bin"));
    Write(QStringLiteral("old-content"), "x");
    QFile::copy(dir.filePath(QStringLiteral("old-content")), target);  // a file to replace
    Offer(Write(QStringLiteral("source.bin"), bytes), target);
    ASSERT_TRUE(WaitUntil([&] { return b->form->Gauge1->value() >= 5; }));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    EXPECT_EQ(b->form->BitBtn7->text(), QStringLiteral("接收"));
    EXPECT_TRUE(b->form->BitBtn4->isEnabled());
    ASSERT_TRUE(WaitForBox());
    EXPECT_NE(b->dialogs.LastText(), kDone);
    EXPECT_TRUE(b->dialogs.LastText().contains(QStringLiteral(".part")))
        << b->dialogs.LastText().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
    EXPECT_FALSE(a->form->Gauge1->isVisible());
    // The file the user chose to replace is untouched; what arrived is kept beside it and is
    // the start of the file.
    EXPECT_EQ(ReadAll(target), QByteArray("x"));
    const QStringList parts = QDir(dir.path()).entryList({QStringLiteral("*.part")}, QDir::Files);
    ASSERT_EQ(parts.size(), 1);
    const QByteArray partial = ReadAll(dir.filePath(parts.front()));
    EXPECT_GT(partial.size(), 0);
    EXPECT_LT(partial.size(), bytes.size());
    EXPECT_EQ(partial, bytes.left(partial.size()));
}

TEST_F(FileTransferTest, ALostChunkGivesAnIncompleteReport) {
    // B's port drops the fifth chunk on the floor; A gives up waiting for its acknowledgement.
    a->form->IdUDPClient2().ReceiveTimeout = 300;
    b->form->IdUDPServer2.SetActive(false);
    auto handler = b->form->IdUDPServer2.OnUDPRead;
    auto chunks = std::make_shared<int>(0);
    b->form->IdUDPServer2.OnUDPRead =
        [chunks, handler](net::UdpServer& server, std::string_view data, net::UdpBinding& binding) {
            if (data.size() == 1024 && ++*chunks == 5) return;
            handler(server, data, binding);
        };
    b->form->IdUDPServer2.SetActive(true);
    const QByteArray bytes = RandomBytes(10000, 5);
    const QString target = dir.filePath(QStringLiteral("lost.bin"));
    Offer(Write(QStringLiteral("whole.bin"), bytes), target);
    ASSERT_TRUE(WaitForBox());
    const QString box = b->dialogs.LastText();
    EXPECT_TRUE(box.contains(QStringLiteral("4096")) && box.contains(QStringLiteral("10000")))
        << box.toStdString();
    EXPECT_FALSE(QFile::exists(target));
    EXPECT_EQ(ReadAll(target + QStringLiteral(".part")), bytes.left(4096));
    EXPECT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
}

TEST_F(FileTransferTest, AnOfferRepeatedThenAcceptedCancelledAndAcceptedAgain) {
    const QString first = Write(QStringLiteral("first.bin"), RandomBytes(10, 1));
    const QString last = Write(QStringLiteral("last.bin"), RandomBytes(6 * 1024 * 1024, 1));
    const QString target = dir.filePath(QStringLiteral("got.bin"));
    OfferFrom(*a, first);
    OfferFrom(*a, last);
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

TEST_F(FileTransferTest, ARefusedLengthOfItsOwnRunLeavesTheWindowsReceivingAlone) {
    const QString from_a = Write(QStringLiteral("a.bin"), RandomBytes(4 * 1024 * 1024, 1));
    const QString target = dir.filePath(QStringLiteral("from-a.bin"));
    OfferFrom(*a, from_a);
    OfferFrom(*b, Write(QStringLiteral("b.bin"), RandomBytes(100, 1)));
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

TEST_F(FileTransferTest, AnUnreachablePeerChangesNothingButTheOffersPath) {
    // The transfer socket as the window defines it.
    EXPECT_EQ(b->form->IdUDPClient2().ReceiveTimeout, 20000);
    EXPECT_EQ(b->form->IdUDPClient2().Port, kTestFilePort);

    OfferFrom(*a, Write(QStringLiteral("f.bin"), RandomBytes(10, 1)));
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    b->form->Edit1->setText(QStringLiteral("127.0.0.9"));  // nobody listens there
    const QString path = Write(QStringLiteral("mine.bin"), RandomBytes(10, 1));
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

TEST_F(FileTransferTest, ATooLargeFileIsNotOfferedAndTheWindowMayCloseWhileSending) {
    const QString big = dir.filePath(QStringLiteral("big.bin"));
    ASSERT_TRUE(QFile(big).open(QIODevice::WriteOnly));
    ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 2147483648), 0);  // sparse
    const QString small = Write(QStringLiteral("small.bin"), RandomBytes(8 * 1024 * 1024, 1));
    OfferFrom(*a, small);
    OfferFrom(*a, big);
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
