// The desktop side of two real windows: the speed beside a transfer, files dropped on the
// window and the bigger picture of the peer's video.
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "app/form1.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kDone = QStringLiteral("恭喜恭喜，文件传送完毕！");

class DesktopWindowTest : public TwoPeers {
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
        for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + i / 977);
        file.write(bytes);
        return path;
    }

    QTemporaryDir dir;
};

TEST_F(DesktopWindowTest, BothSidesShowTheSpeedAndTheCompletionSaysTheAverage) {
    const QString source = Write(QStringLiteral("speed.bin"), 8 * 1024 * 1024);
    a->dialogs.answers.push_back(source);
    QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    b->dialogs.answers.push_back(dir.filePath(QStringLiteral("speed-received.bin")));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);

    // While the file moves, each side's figures turn up beside its progress.
    bool sender_shown = false, receiver_shown = false;
    const bool ended = WaitUntil(
        [&] {
            const QString sender = a->form->SpeedToolTip();
            const QString receiver = b->form->SpeedToolTip();
            sender_shown |=
                sender.contains(QStringLiteral("B/s")) && sender.contains(QStringLiteral(" left"));
            receiver_shown |= receiver.contains(QStringLiteral("B/s")) &&
                              receiver.contains(QStringLiteral(" left"));
            return b->dialogs.Count(QStringLiteral("plain")) > 0;
        },
        std::chrono::seconds(120));
    ASSERT_TRUE(ended);
    EXPECT_TRUE(sender_shown);
    EXPECT_TRUE(receiver_shown);

    // The completion box keeps its words; the average follows on a line of its own.
    const QString box = b->dialogs.LastText();
    EXPECT_TRUE(box.startsWith(kDone + QStringLiteral("\r\n平均速度："))) << box.toStdString();
    EXPECT_TRUE(box.endsWith(QStringLiteral("B/s"))) << box.toStdString();
    // The sender's history shows the peer's notice as it came, then the average of the send.
    EXPECT_TRUE(WaitUntil([&] {
        return a->HistoryText().contains(QStringLiteral("[系统消息]：") + kDone +
                                         QStringLiteral("\n平均速度："));
    })) << a->HistoryText().toStdString();
    // Nothing moves any more: the figures go.
    EXPECT_TRUE(WaitUntil(
        [&] { return a->form->SpeedToolTip().isEmpty() && b->form->SpeedToolTip().isEmpty(); }));

    // A second transfer measures afresh and reports its own average once.
    const int boxes = b->dialogs.Count(QStringLiteral("plain"));
    a->dialogs.answers.push_back(Write(QStringLiteral("small.bin"), 5000));
    QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->isEnabled(); }));
    b->dialogs.answers.push_back(dir.filePath(QStringLiteral("small-received.bin")));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.Count(QStringLiteral("plain")) > boxes; }));
    EXPECT_TRUE(b->dialogs.LastText().startsWith(kDone + QStringLiteral("\r\n平均速度：")));
    EXPECT_TRUE(
        WaitUntil([&] { return a->HistoryText().count(QStringLiteral("平均速度：")) == 2; }));
}

}  // namespace
}  // namespace quorell::test
