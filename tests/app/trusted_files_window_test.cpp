// A trusted peer's files over a real session on loopback: taken into the trusted folder
// without asking only from a verified peer with the key it had when trusted, taken names still
// asked, and the plain protocol always asking. Then the buttons of the notifications about
// files, which do what the window's own buttons do.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/notifier.h"
#include "session_files_fixture.h"

namespace quorell::test {
namespace {

// Records the notifications of files with their buttons, and presses them when asked.
class ButtonNotifier : public INotifier {
public:
    void Notify(const QString& title, const QString& text) override {
        NotifyWithActions(title, text, {}, nullptr);
    }
    void SetOnActivated(std::function<void()>) override {}
    void NotifyWithActions(const QString&, const QString& text,
                           const QList<NotificationAction>& actions,
                           std::function<void(const QString&)> on_action) override {
        told << text;
        keys.clear();
        for (const NotificationAction& action : actions) keys << action.key;
        press = std::move(on_action);
    }
    QStringList told;
    QStringList keys;  // of the latest notification
    std::function<void(const QString&)> press;
};

class TrustedFilesWindowTest : public SessionFilesFixture {
protected:
    static QAction* TrustEntry(const Peer& peer) {
        for (QAction* action : peer.form->SendMenu()->actions())
            if (action->text() == QStringLiteral("信任此设备的文件…")) return action;
        return nullptr;
    }
    static void Verify(Peer& peer) {
        peer.dialogs.verify_answers = {true};
        QTest::mouseClick(peer.form->Button7, Qt::LeftButton);
        ASSERT_FALSE(peer.form->Button7->isVisible());
    }
    static void SendFile(Peer& peer, const QString& path) { SendFiles(peer, {path}); }
};

TEST_F(TrustedFilesWindowTest, AVerifiedTrustedPeersFilesArriveUnaskedButTakenNamesAreAsked) {
    QAction* trust = TrustEntry(*b);
    ASSERT_NE(trust, nullptr);
    // Not before the user has verified the peer: nobody is trusted by an unchecked key.
    trust->trigger();
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("folder")), 0);
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("plain")), 1);
    Verify(*b);
    b->dialogs.folders.push_back(target.path());
    trust->trigger();
    EXPECT_TRUE(trust->isChecked());
    EXPECT_TRUE(b->HistoryText().contains(QStringLiteral("自动保存到 ") + target.path()));

    WriteFile(Src(QStringLiteral("x.bin")), QByteArray(100000, 'x'));
    SendFile(*a, Src(QStringLiteral("x.bin")));
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 1 个文件"), 1)) << b->HistoryText().toStdString();
    EXPECT_TRUE(b->HistoryText().contains(QStringLiteral("自动接收到 ") + target.path()));
    EXPECT_EQ(ReadFile(Dst(QStringLiteral("x.bin"))), QByteArray(100000, 'x'));
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("folder")), 1);  // the trusting one only
    ASSERT_TRUE(Lines(*a, QStringLiteral("已发送 1 个文件"), 1));

    // A file of a name already there is never replaced silently: the question of the
    // receive button's path is asked, and "no" keeps what was there.
    WriteFile(Src(QStringLiteral("x.bin")), QByteArray(50, 'y'));
    SendFile(*a, Src(QStringLiteral("x.bin")));
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.Count(QStringLiteral("yes or no")) == 1; }));
    ASSERT_TRUE(Lines(*a, QStringLiteral("对方"), 1));
    ASSERT_TRUE(WaitUntil([&] { return !b->form->BitBtn7->isEnabled(); }));
    EXPECT_EQ(ReadFile(Dst(QStringLiteral("x.bin"))), QByteArray(100000, 'x'));
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("folder")), 1);

    // Trust taken back: the next offer waits for the receive button.
    trust->trigger();
    EXPECT_FALSE(trust->isChecked());
    WriteFile(Src(QStringLiteral("z.bin")), QByteArray(10, 'z'));
    SendFile(*a, Src(QStringLiteral("z.bin")));
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b); }));
    Settle(std::chrono::milliseconds(200));
    EXPECT_FALSE(QFileInfo::exists(Dst(QStringLiteral("z.bin"))));
}

TEST_F(TrustedFilesWindowTest, AChangedKeyAndThePlainProtocolAreAskedThoughTheNameWasTrusted) {
    Verify(*b);
    b->dialogs.folders.push_back(target.path());
    TrustEntry(*b)->trigger();
    ASSERT_TRUE(TrustEntry(*b)->isChecked());

    // The same name with another key: told, unverified, and its offer waits.
    QTemporaryDir other;
    RestartWithSession(a, other.path().toStdString());
    ASSERT_TRUE(WaitUntil([&] { return !b->form->SessionOpen(); }));
    OpenSession();
    ASSERT_TRUE(WaitUntil([&] { return b->dialogs.Count(QStringLiteral("key changed")) == 1; }));
    WriteFile(Src(QStringLiteral("k.bin")), QByteArray(10, 'k'));
    SendFile(*a, Src(QStringLiteral("k.bin")));
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b); }));
    Settle(std::chrono::milliseconds(200));
    EXPECT_FALSE(QFileInfo::exists(Dst(QStringLiteral("k.bin"))));
    QMetaObject::invokeMethod(b->form->SendMenu(), "aboutToShow");
    EXPECT_FALSE(TrustEntry(*b)->isChecked());

    // The trusted peer's own address over the plain protocol is no one in particular.
    a.reset();
    ASSERT_TRUE(WaitUntil([&] { return !b->form->SessionOpen(); }));
    a = std::make_unique<Peer>("127.0.0.1", bridge);
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return a->form->BitBtn4->isEnabled(); }));
    a->dialogs.answers.push_back(Src(QStringLiteral("k.bin")));
    QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
    ASSERT_TRUE(
        WaitUntil([&] { return b->form->FileReceiving().State() == ReceiveState::Offered; }));
    Settle(std::chrono::milliseconds(200));
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("save")), 0);
    EXPECT_TRUE(OfferWaits(*b));
}

TEST_F(TrustedFilesWindowTest, NotificationButtonsDeclineAcceptAndOpenAsTheWindowWould) {
    auto notifier = std::make_shared<ButtonNotifier>();
    b->devices.notifier = notifier;
    a->form->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return a->form->isActiveWindow(); }));

    WriteFile(Src(QStringLiteral("n.bin")), QByteArray(3000, 'n'));
    SendFile(*a, Src(QStringLiteral("n.bin")));
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b) && notifier->press; }));
    EXPECT_EQ(notifier->keys, QStringList({QStringLiteral("accept"), QStringLiteral("decline")}));
    const auto decline = notifier->press;
    decline(QStringLiteral("decline"));
    ASSERT_TRUE(Lines(*a, QStringLiteral("对方没有接收"), 1)) << a->HistoryText().toStdString();
    EXPECT_FALSE(b->form->BitBtn7->isEnabled());
    // A press on a notification whose offer has ended does nothing.
    decline(QStringLiteral("accept"));
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("folder")), 0);

    a->form->activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return a->form->isActiveWindow(); }));
    notifier->press = nullptr;
    // Other words than the first offer's, which would be told only once within 2 s.
    WriteFile(Src(QStringLiteral("n.bin")), QByteArray(5000, 'n'));
    SendFile(*a, Src(QStringLiteral("n.bin")));
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b) && notifier->press; }));
    b->dialogs.folders.push_back(target.path());
    // The press brings the window up for its folder dialog; the user then looks away again.
    notifier->press(QStringLiteral("accept"));
    a->form->activateWindow();
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("folder")), 1)
        << notifier->told.join('|').toStdString();
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 1 个文件"), 1)) << b->HistoryText().toStdString();
    EXPECT_EQ(ReadFile(Dst(QStringLiteral("n.bin"))), QByteArray(5000, 'n'));
    // The notification of what came opens it.
    ASSERT_TRUE(WaitUntil([&] { return notifier->keys == QStringList{QStringLiteral("open")}; }));
    notifier->press(QStringLiteral("open"));
    EXPECT_EQ(b->opener->opened, QStringList{Dst(QStringLiteral("n.bin"))});
}

}  // namespace
}  // namespace quorell::test
