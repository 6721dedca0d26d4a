// The desktop side of two real windows: the speed beside a transfer, files dropped on the
// window and the bigger picture of the peer's video.
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "app/big_picture.h"
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
    // Large enough to move for well over a second here, so the figures are polled while it does.
    const QString source = Write(QStringLiteral("speed.bin"), 24 * 1024 * 1024);
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
                sender.contains(QStringLiteral("B/s")) && sender.contains(QStringLiteral("剩余 "));
            receiver_shown |= receiver.contains(QStringLiteral("B/s")) &&
                              receiver.contains(QStringLiteral("剩余 "));
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

// Drops files on a window the way a file manager would, straight through Qt's drag events.
class DropTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ASSERT_TRUE(dir.isValid());
        file = dir.filePath(QStringLiteral("dropped file.txt"));
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write("hello");
    }

    // Drags mime over target and drops it; whether the drag was taken.
    bool Drop(QWidget* target, const QMimeData& mime) {
        const QPointF at(target->width() / 2.0, target->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &drop);
        return enter.isAccepted() && drop.isAccepted();
    }

    static std::unique_ptr<QMimeData> Files(const QStringList& paths) {
        auto mime = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& path : paths) urls.push_back(QUrl::fromLocalFile(path));
        mime->setUrls(urls);
        return mime;
    }

    int OffersAtB() const {
        return b->HistoryText().count(QStringLiteral("[系统消息]：对方给你传输了文件，请接收。"));
    }

    QTemporaryDir dir;
    QString file;
};

TEST_F(DropTest, OneFileIsOfferedLikeTheSendFileButtonOnlyWhileItIsEnabled) {
    // Not connected: the send-file button is disabled and a drop is refused.
    a->TypeAddress(QString::fromStdString(b->address));
    EXPECT_FALSE(Drop(a->form.get(), *Files({file})));
    Settle();
    EXPECT_TRUE(a->form->SendFilePath.isEmpty());
    EXPECT_EQ(OffersAtB(), 0);

    ConnectBothWays();
    ASSERT_TRUE(a->form->BitBtn4->isEnabled());
    // Over the input box, which takes dropped text for itself, a file is still an offer, and
    // the box's text stays as it was.
    a->form->Memo2->setPlainText(QStringLiteral("typed"));
    EXPECT_TRUE(Drop(a->form->Memo2->viewport(), *Files({file})));
    ASSERT_TRUE(WaitUntil([&] { return OffersAtB() == 1; }));
    EXPECT_EQ(a->form->SendFilePath, file);
    EXPECT_EQ(a->form->Memo2->toPlainText(), QStringLiteral("typed"));
    EXPECT_TRUE(b->form->BitBtn7->isEnabled());
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("open")), 0);  // no dialog was needed
    EXPECT_TRUE(a->dialogs.calls.empty());

    // The offer behaves as the button's: accepted, the dropped file arrives.
    b->dialogs.answers.push_back(dir.filePath(QStringLiteral("got.txt")));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.Count(QStringLiteral("plain")) == 1; }));
    QFile got(dir.filePath(QStringLiteral("got.txt")));
    ASSERT_TRUE(got.open(QIODevice::ReadOnly));
    EXPECT_EQ(got.readAll(), QByteArray("hello"));

    // While a file is being sent the button is disabled, and so is dropping.
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
    a->form->BitBtn4->setEnabled(false);
    EXPECT_FALSE(Drop(a->form.get(), *Files({file})));
    Settle();
    EXPECT_EQ(OffersAtB(), 1);
}

TEST_F(DropTest, FoldersSeveralFilesAndOtherDropsGetABoxAndNoOffer) {
    a->TypeAddress(QString::fromStdString(b->address));
    a->Connect();
    ASSERT_TRUE(a->form->BitBtn4->isEnabled());
    const QString other = dir.filePath(QStringLiteral("other.txt"));
    QFile(file).copy(other);

    struct Case {
        std::unique_ptr<QMimeData> mime;
        QString box;
    };
    auto remote = std::make_unique<QMimeData>();
    remote->setUrls({QUrl(QStringLiteral("http://127.0.0.1/x.txt"))});
    Case cases[] = {
        {Files({dir.path()}), QStringLiteral("不能传送文件夹")},
        {Files({file, other}), QStringLiteral("一次只能传送一个文件")},
        {Files({dir.filePath(QStringLiteral("gone.txt"))}), QStringLiteral("只能传送本机上的文件")},
        {std::move(remote), QStringLiteral("只能传送本机上的文件")},
        {Files({QStringLiteral("/dev/null")}), QStringLiteral("只能传送普通文件")},
    };
    int boxes = 0;
    for (Case& c : cases) {
        EXPECT_TRUE(Drop(a->form.get(), *c.mime));
        ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("plain")) > boxes; }))
            << c.box.toStdString();
        ++boxes;
        EXPECT_TRUE(a->dialogs.LastText().startsWith(c.box)) << a->dialogs.LastText().toStdString();
    }
    // Plain text is the input box's business, not an offer.
    QMimeData text;
    text.setText(QStringLiteral("just words"));
    EXPECT_FALSE(Drop(a->form.get(), text));
    Settle();
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("plain")), boxes);
    EXPECT_TRUE(a->form->SendFilePath.isEmpty());
    EXPECT_EQ(OffersAtB(), 0);
}

TEST(BigPictureTest, FramesKeepTheirProportionsAndAreCentred) {
    EXPECT_EQ(FitKeepingAspect({200, 165}, {0, 0, 800, 330}), QRect(200, 0, 400, 330));
    EXPECT_EQ(FitKeepingAspect({200, 100}, {0, 0, 400, 1000}), QRect(0, 400, 400, 200));
    EXPECT_EQ(FitKeepingAspect({200, 100}, {10, 10, 400, 200}), QRect(10, 10, 400, 200));
    EXPECT_TRUE(FitKeepingAspect({}, {0, 0, 400, 300}).isEmpty());
    EXPECT_TRUE(FitKeepingAspect({200, 165}, {}).isEmpty());
    // A sliver of a picture in a small window still has a size, never a negative one.
    EXPECT_FALSE(FitKeepingAspect({4000, 1}, {0, 0, 100, 100}).isEmpty());
}

class BigVideoTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        ConnectBothWays();
    }

    // A sends video; B receives it and has shown a few frames.
    void Receive() {
        QTest::mouseClick(a->form->Button3, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn1->isEnabled(); }));
        QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
        ASSERT_EQ(b->form->BitBtn1->text(), QStringLiteral("停止接收"));
        ASSERT_TRUE(FramesArrive());
    }

    bool FramesArrive() {
        const int before = b->form->VideoReceiving().FramesShown();
        return WaitUntil([&] { return b->form->VideoReceiving().FramesShown() >= before + 3; });
    }

    void Open() {
        QTest::mouseDClick(b->form->Image1, Qt::LeftButton);
        ASSERT_NE(b->form->BigVideo(), nullptr);
        ASSERT_TRUE(b->form->BigVideo()->isVisible());
    }
};

TEST_F(BigVideoTest, ShowsTheFramesLargerAndClosesWhenTheVideoStops) {
    // No video yet: a double-click on the placeholder opens nothing.
    QTest::mouseDClick(b->form->Image1, Qt::LeftButton);
    EXPECT_TRUE(b->form->BigVideo() == nullptr || !b->form->BigVideo()->isVisible());

    Receive();
    Open();
    BigPicture& big = *b->form->BigVideo();
    EXPECT_TRUE(big.isWindow());
    EXPECT_GT(big.width(), b->form->Image1->width());
    // New frames reach it, at their own size, drawn larger in their own proportions.
    const qint64 first = big.Frame().cacheKey();
    ASSERT_TRUE(WaitUntil([&] { return big.Frame().cacheKey() != first; }));
    const QSize frame = big.Frame().size();
    EXPECT_FALSE(frame.isEmpty());
    big.resize(900, 300);
    const QRect drawn = big.PictureRect();
    EXPECT_EQ(drawn.height(), 300);
    EXPECT_NEAR(double(drawn.width()) / drawn.height(), double(frame.width()) / frame.height(),
                0.02);
    EXPECT_NEAR(drawn.center().x(), big.rect().center().x(), 1);

    // The peer stops its video: the bigger picture closes with the window's.
    QTest::mouseClick(a->form->Button4, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !b->form->BitBtn1->isEnabled(); }));
    EXPECT_FALSE(big.isVisible());

    // This side stops receiving: it closes too.
    Receive();
    Open();
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    EXPECT_FALSE(b->form->BigVideo()->isVisible());

    // The main window closes: so does the bigger picture.
    QTest::mouseClick(b->form->BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(FramesArrive());
    Open();
    b->form->close();
    EXPECT_FALSE(b->form->BigVideo()->isVisible());
}

}  // namespace
}  // namespace quorell::test
