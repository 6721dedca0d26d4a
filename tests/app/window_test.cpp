// The window as it starts, the About box, the history line format and the single-instance lock.
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/form3.h"
#include "app/history.h"
#include "app/single_instance.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

using WindowTest = TwoPeers;

TEST_F(WindowTest, StartsWithTheControlsOfTheWindowDefinition) {
    TForm1& w = *a->form;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("QuorellVoxVer1.0 正式版"));
    EXPECT_EQ(w.size(), QSize(690, 493));
    struct Row {
        QWidget* control;
        QString caption;
        QRect bounds;
        bool enabled;
    };
    const Row rows[] = {
        {w.Button6, QStringLiteral("连接对方"), {8, 16, 75, 25}, false},
        {w.BitBtn5, QStringLiteral("发送语音"), {344, 16, 75, 25}, false},
        {w.BitBtn6, QStringLiteral("接收语音"), {424, 16, 75, 25}, false},
        {w.BitBtn4, QStringLiteral("传送文件"), {512, 16, 75, 25}, false},
        {w.BitBtn7, QStringLiteral("接收"), {592, 16, 75, 25}, false},
        {w.Button3, QStringLiteral("发送视频"), {8, 184, 81, 25}, false},
        {w.Button4, QStringLiteral("停止"), {9, 216, 80, 25}, false},
        {w.BitBtn1, QStringLiteral("接收视频"), {8, 256, 81, 25}, false},
        {w.Button1, QStringLiteral("发送(&S)"), {8, 16, 201, 25}, false},
        {w.Button2, QStringLiteral("清屏"), {8, 48, 201, 25}, false},
        {w.BitBtn2, QStringLiteral("关于"), {8, 80, 201, 25}, true},
    };
    for (const Row& row : rows) {
        auto* button = qobject_cast<QPushButton*>(row.control);
        EXPECT_EQ(button->text(), row.caption);
        EXPECT_EQ(button->geometry(), row.bounds) << row.caption.toStdString();
        EXPECT_EQ(button->isEnabled(), row.enabled) << row.caption.toStdString();
    }
    EXPECT_EQ(w.GroupBox4->title(), QStringLiteral("内容输入 [发送快捷键:Alt+S]"));
    EXPECT_EQ(w.GroupBox1->geometry(), QRect(464, 64, 217, 289));
    EXPECT_EQ(w.Memo1->geometry(), QRect(8, 16, 433, 265));
    EXPECT_TRUE(w.Memo1->isReadOnly());
    EXPECT_TRUE(w.Edit1->isEnabled());
    EXPECT_FALSE(w.Label4->isVisible());
    EXPECT_FALSE(w.Gauge1->isVisible());
    EXPECT_FALSE(w.Edit2->isVisible());
    EXPECT_EQ(w.Edit5->text(), QStringLiteral("Edit5"));
    EXPECT_FALSE(w.Image1->pixmap().isNull());
    EXPECT_EQ(w.font().pixelSize(), 12);
}

TEST_F(WindowTest, LocalPortsAreDrawnAsPlainDecimals) {
    for (Peer* peer : {a.get(), b.get()}) {
        bool ok = false;
        const int video = peer->form->Edit2->text().toInt(&ok);
        EXPECT_TRUE(ok && video >= 10000 && video <= 19999) << video;
        const int voice = peer->form->Edit4->text().toInt(&ok);
        EXPECT_TRUE(ok && voice >= 500 && voice <= 10499) << voice;
        EXPECT_EQ(peer->form->Edit4->text(), QString::number(voice));
    }
}

TEST_F(WindowTest, APortInUseIsReportedAndTheWindowStillOpens) {
    // A third window on A's address cannot listen; its video port box keeps its first text.
    FakeDialogs dialogs;
    DeviceContext devices;
    StartupConfig config;
    config.session_port = 0;  // the plain protocol only
    config.bind_address = "127.0.0.1";
    config.control_port = kTestControlPort;
    config.audio_sink_port = kTestAudioSinkPort + 2;
    TForm1 third(config, devices, dialogs, bridge);
    ASSERT_EQ(dialogs.Count(QStringLiteral("error")), 1);
    EXPECT_EQ(dialogs.calls[0].text,
              QStringLiteral("Could not bind socket. Address and port are already in use."));
    EXPECT_EQ(third.Edit2->text(), QStringLiteral("10086"));
    EXPECT_EQ(third.Edit4->text(), QStringLiteral("Edit4"));

    // The same for the file port, with the control server already listening.
    FakeDialogs dialogs4;
    DeviceContext devices4;
    config.control_port = kTestControlPort + 1;
    config.file_port = kTestFilePort;
    config.audio_sink_port = kTestAudioSinkPort + 1;
    TForm1 fourth(config, devices4, dialogs4, bridge);
    ASSERT_EQ(dialogs4.Count(QStringLiteral("error")), 1);
    EXPECT_EQ(dialogs4.calls[0].text,
              QStringLiteral("Could not bind socket. Address and port are already in use."));
    EXPECT_TRUE(fourth.Server1.Active());
    EXPECT_FALSE(fourth.IdUDPServer2.Active());
    EXPECT_EQ(fourth.Edit2->text(), QStringLiteral("10086"));
}

TEST_F(WindowTest, EnterPressesTheFirstEnabledDefaultButtonAndAltSSends) {
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 1; }));
    // Connect stays enabled, so Enter in the address box connects again.
    QTest::keyClick(a->form->Edit1, Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 2; }));
    // With a short address only the send button is left for Enter.
    a->TypeAddress(QStringLiteral("short"));
    a->form->Memo2->setPlainText(QStringLiteral("by enter"));
    QTest::keyClick(a->form->Edit1, Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("unreachable")) == 1; }));
    // In the input box Enter is a line break.
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->form->Memo2->setFocus();
    a->form->Memo2->moveCursor(QTextCursor::End);
    QTest::keyClick(a->form->Memo2, Qt::Key_Return);
    EXPECT_EQ(a->form->Memo2->toPlainText(), QStringLiteral("by enter\n"));
    EXPECT_EQ(b->ring->rings, 2);
    // Alt+S presses the send button.
    a->form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(a->form.get()));
    QTest::keyClick(a->form.get(), Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(WaitUntil([&] { return b->ring->rings == 3; }));
    // A focused button presses itself rather than connecting again, and the history keeps
    // Enter to itself.
    a->form->Memo2->setPlainText(QStringLiteral("to be cleared"));
    a->form->Button2->setFocus();
    QTest::keyClick(a->form->Button2, Qt::Key_Return);
    EXPECT_TRUE(a->form->Memo2->toPlainText().isEmpty());
    a->form->Memo1->setFocus();
    QTest::keyClick(a->form->Memo1, Qt::Key_Return);
    Settle();
    EXPECT_EQ(b->ring->rings, 3);
}

TEST_F(WindowTest, AboutBoxIsNotModalAndHidesAgain) {
    QTest::mouseClick(a->form->BitBtn2, Qt::LeftButton);
    TForm3* about = a->form->About();
    ASSERT_TRUE(about->isVisible());
    EXPECT_EQ(about->windowTitle(), QStringLiteral("关于 Quorell"));
    EXPECT_EQ(about->size(), QSize(426, 279));
    EXPECT_TRUE(a->form->Edit1->isEnabled());
    QTest::mouseClick(a->form->BitBtn2, Qt::LeftButton);
    EXPECT_TRUE(about->isVisible());
    QTest::mouseClick(about->OKButton, Qt::LeftButton);
    EXPECT_FALSE(about->isVisible());
}

TEST(HistoryLine, TimeStampUsesTheLocaleFormatsAndDropsMidnight) {
    const QLocale zh(QLocale::Chinese, QLocale::China);
    const QDateTime afternoon(QDate(2026, 12, 8), QTime(15, 4, 5));
    EXPECT_EQ(FormatTimeStamp(afternoon, zh), QStringLiteral("2026/12/8 15:04:05"));
    EXPECT_EQ(FormatTimeStamp(QDateTime(QDate(2026, 1, 2), QTime(0, 0, 0)), zh),
              QStringLiteral("2026/1/2"));
    EXPECT_EQ(FormatTimeStamp(QDateTime(QDate(2026, 1, 2), QTime(0, 0, 1)), zh),
              QStringLiteral("2026/1/2 00:00:01"));
    EXPECT_EQ(HistoryLine(kPeerPrefix, QStringLiteral("你好"), afternoon, zh),
              QStringLiteral("对方[2026/12/8 15:04:05]: 你好"));
    // No zone name sneaks in from locales whose long time format has one.
    const QString c = FormatTimeStamp(afternoon, QLocale::c());
    EXPECT_TRUE(c.endsWith(QStringLiteral("15:04:05"))) << c.toStdString();
}

TEST(SingleInstance, ALaterCopyIsRefusedAndBringsTheFirstToTheFront) {
    QTemporaryDir dir;
    qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8());
    {
        SingleInstance first(QStringLiteral("QuorellTest"));
        EXPECT_TRUE(first.IsFirst());
        int knocks = 0;
        // What a copy that was killed left behind is no hindrance.
        QFile stale(dir.filePath(QStringLiteral("QuorellTest.socket")));
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
        stale.close();
        ASSERT_TRUE(first.Listen([&] { ++knocks; }));
        SingleInstance second(QStringLiteral("QuorellTest"));
        EXPECT_FALSE(second.IsFirst());
        EXPECT_FALSE(second.Listen([] {}));
        EXPECT_TRUE(second.KnockOnFirst());
        EXPECT_TRUE(QTest::qWaitFor([&] { return knocks == 1; }));
        first.StopListening();
        EXPECT_FALSE(second.KnockOnFirst());
    }
    SingleInstance again(QStringLiteral("QuorellTest"));
    EXPECT_TRUE(again.IsFirst());
    EXPECT_FALSE(again.KnockOnFirst());  // nobody listens
    qunsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace quorell::test
