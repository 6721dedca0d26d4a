// Desktop notifications: the text they carry, the exchange with a notification service on a
// private session bus, and what the window tells while the user looks elsewhere.
#include "app/notifier.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QLineEdit>
#include <QTest>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol/control_lines.h"
#include "support/private_bus.h"
#include "support/raw_tcp.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kName = QStringLiteral("org.freedesktop.Notifications");

TEST(NotificationBodyTest, FirstLineOnlyAsPlainBoundedText) {
    EXPECT_EQ(NotificationBody(QStringLiteral("hello\r\nsecond line")), QStringLiteral("hello"));
    EXPECT_EQ(NotificationBody(QStringLiteral("\r\n  \r\n  hi there \nmore")),
              QStringLiteral("hi there"));
    EXPECT_EQ(NotificationBody(QString()), QString());
    EXPECT_EQ(NotificationBody(QStringLiteral(" \r\n\t")), QString());
    // Markup a notification server would interpret shows as the characters typed.
    EXPECT_EQ(NotificationBody(QStringLiteral("<b>x</b> & <a href=\"u\">'y'</a>")),
              QStringLiteral("&lt;b&gt;x&lt;/b&gt; &amp; &lt;a href=&quot;u&quot;&gt;&#39;y&#39;"
                             "&lt;/a&gt;"));
    EXPECT_EQ(NotificationBody(QStringLiteral("a\x01\x1b[31mb\u0085c")), QStringLiteral("a[31mbc"));
    // A long line is cut, with an ellipsis, and never inside a character.
    const QString body = NotificationBody(QString(5000, QLatin1Char('x')));
    EXPECT_EQ(body.size(), kMaxNotificationChars + 1);
    EXPECT_TRUE(body.endsWith(QChar(0x2026)));
    QString emoji = QString(kMaxNotificationChars - 1, QLatin1Char('x'));
    for (int i = 0; i < 10; ++i) emoji += QString::fromUtf8("\xF0\x9F\x98\x80");
    const QString cut = NotificationBody(emoji);
    EXPECT_FALSE(cut.at(cut.size() - 2).isHighSurrogate());
    EXPECT_EQ(cut.size(), kMaxNotificationChars);  // 199 x and the ellipsis
    // Escaping is done after the cut: entities are never split.
    const QString amps = NotificationBody(QString(300, QLatin1Char('&')));
    EXPECT_EQ(amps.count(QStringLiteral("&amp;")), kMaxNotificationChars);
}

// The notification service of a desktop, as far as the program uses it; records every call.
// Qt may hand it the calls on its own D-Bus thread, hence the lock.
class FakeNotifications : public QDBusVirtualObject {
public:
    struct Call {
        QString app;
        uint replaces = 0;
        QString title;
        QString body;
        QStringList actions;
        uint id = 0;
    };

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QStringLiteral("Notify") || message.arguments().size() != 8)
            return false;
        const QList<QVariant> args = message.arguments();
        Call call{args[0].toString(), args[1].toUInt(), args[3].toString(), args[4].toString(),
                  qdbus_cast<QStringList>(args[5])};
        {
            std::lock_guard lock(mutex_);
            call.id = call.replaces != 0 ? call.replaces : ++last_id_;
            calls_.push_back(call);
        }
        connection.send(message.createReply(QVariant::fromValue(call.id)));
        return true;
    }

    std::vector<Call> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    uint last_id_ = 40;
};

// A session bus of the test's own, with one connection for the fake service and one for the
// program.
class NotifierBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        if (!bus.Start(why)) GTEST_SKIP() << why.toStdString();
        address = bus.Address();
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("quorell-test-client")));
        ASSERT_TRUE(client->isConnected());
    }

    void TearDown() override {
        notifier.reset();
        if (service) {
            service->unregisterObject(kPath);
            service.reset();
            QDBusConnection::disconnectFromBus(QStringLiteral("quorell-test-service"));
        }
        client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("quorell-test-client"));
    }

    void StartService() {
        service = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("quorell-test-service")));
        ASSERT_TRUE(service->isConnected());
        ASSERT_TRUE(service->registerVirtualObject(kPath, &fake));
        ASSERT_TRUE(service->registerService(kName));
    }

    void Signal(const QString& name, const QList<QVariant>& args) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kName, name);
        signal.setArguments(args);
        service->send(signal);
    }

    bool Calls(std::size_t n) {
        return WaitUntil([&] { return fake.Calls().size() >= n; });
    }

    PrivateBus bus;
    QString address;
    FakeNotifications fake;
    std::unique_ptr<QDBusConnection> service;
    std::unique_ptr<QDBusConnection> client;
    std::unique_ptr<DesktopNotifier> notifier;
};

TEST_F(NotifierBusTest, SendsTheTitlePlainBodyAndTheDefaultActionAndReplacesItself) {
    StartService();
    notifier = std::make_unique<DesktopNotifier>(*client);
    notifier->Notify(QStringLiteral("127.0.0.1"), QStringLiteral("<i>hi</i> & bye\r\nmore"));
    ASSERT_TRUE(Calls(1));
    const FakeNotifications::Call first = fake.Calls()[0];
    EXPECT_EQ(first.app, QStringLiteral("Quorell"));
    EXPECT_EQ(first.replaces, 0u);
    EXPECT_EQ(first.title, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(first.body, QStringLiteral("&lt;i&gt;hi&lt;/i&gt; &amp; bye"));
    EXPECT_TRUE(first.actions.contains(QStringLiteral("default")));
    ASSERT_TRUE(WaitUntil([&] { return notifier->CurrentId() == first.id; }));

    // A burst while a call is on its way: one more call, with the latest words, in place of
    // the first notification rather than beside it.
    for (int i = 0; i < 5; ++i) notifier->Notify(QStringLiteral("t"), QStringLiteral("n%1").arg(i));
    ASSERT_TRUE(Calls(2));
    Settle(std::chrono::milliseconds(200));
    ASSERT_LE(fake.Calls().size(), 3u);
    EXPECT_EQ(fake.Calls().back().body, QStringLiteral("n4"));
    const std::vector<FakeNotifications::Call> calls = fake.Calls();
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].replaces, first.id);

    // Once the user has closed it, the next one is new.
    Signal(QStringLiteral("NotificationClosed"), {QVariant::fromValue(first.id), 2u});
    ASSERT_TRUE(WaitUntil([&] { return notifier->CurrentId() == 0; }));
    const std::size_t before = fake.Calls().size();
    notifier->Notify(QStringLiteral("t"), QStringLiteral("again"));
    ASSERT_TRUE(Calls(before + 1));
    EXPECT_EQ(fake.Calls().back().replaces, 0u);
}

TEST_F(NotifierBusTest, OnlyAClickOnItsOwnNotificationActivates) {
    StartService();
    notifier = std::make_unique<DesktopNotifier>(*client);
    int activations = 0;
    notifier->SetOnActivated([&] { ++activations; });
    notifier->Notify(QStringLiteral("t"), QStringLiteral("hello"));
    ASSERT_TRUE(Calls(1));
    ASSERT_TRUE(WaitUntil([&] { return notifier->CurrentId() != 0; }));
    const uint id = notifier->CurrentId();

    Signal(QStringLiteral("ActionInvoked"),
           {QVariant::fromValue(id + 7), QStringLiteral("default")});
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("other")});
    // Some services say it closed before they say it was clicked.
    Signal(QStringLiteral("NotificationClosed"), {QVariant::fromValue(id), 2u});
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("default")});
    ASSERT_TRUE(WaitUntil([&] { return activations == 1; }));
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(activations, 1);

    // Once the window has gone, a click does nothing.
    notifier->SetOnActivated(nullptr);
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("default")});
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(activations, 1);
}

TEST_F(NotifierBusTest, AButtonPressReachesItsNotificationsHandlerOnceAndOnlyFromTheService) {
    StartService();
    notifier = std::make_unique<DesktopNotifier>(*client);
    int activations = 0;
    notifier->SetOnActivated([&] { ++activations; });
    QStringList pressed;
    notifier->NotifyWithActions(QStringLiteral("t"), QStringLiteral("offer"),
                                {{QStringLiteral("accept"), QStringLiteral("接收…")},
                                 {QStringLiteral("decline"), QStringLiteral("拒绝")}},
                                [&](const QString& key) { pressed << key; });
    ASSERT_TRUE(Calls(1));
    EXPECT_EQ(
        fake.Calls()[0].actions,
        QStringList({QStringLiteral("default"), QStringLiteral("打开"), QStringLiteral("accept"),
                     QStringLiteral("接收…"), QStringLiteral("decline"), QStringLiteral("拒绝")}));
    ASSERT_TRUE(WaitUntil([&] { return notifier->CurrentId() != 0; }));
    const uint id = notifier->CurrentId();

    // Another program on the bus cannot press it in the user's name.
    QDBusConnection intruder =
        QDBusConnection::connectToBus(address, QStringLiteral("quorell-test-intruder"));
    ASSERT_TRUE(intruder.isConnected());
    QDBusMessage forged = QDBusMessage::createSignal(kPath, kName, QStringLiteral("ActionInvoked"));
    forged.setArguments({QVariant::fromValue(id), QStringLiteral("accept")});
    intruder.send(forged);
    Settle(std::chrono::milliseconds(150));
    EXPECT_TRUE(pressed.isEmpty());
    QDBusConnection::disconnectFromBus(QStringLiteral("quorell-test-intruder"));

    // Keys it did not show and other notifications do nothing; the click still raises.
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("open")});
    Signal(QStringLiteral("ActionInvoked"),
           {QVariant::fromValue(id + 1), QStringLiteral("accept")});
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("decline")});
    // A service that reports the press twice does not decline twice.
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("decline")});
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("default")});
    ASSERT_TRUE(WaitUntil([&] { return activations == 1; }));
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(pressed, QStringList({QStringLiteral("decline")}));

    // A notification that replaced it takes its buttons away with it.
    notifier->NotifyWithActions(QStringLiteral("t"), QStringLiteral("second"),
                                {{QStringLiteral("accept"), QStringLiteral("接收…")}},
                                [&](const QString& key) { pressed << QStringLiteral("2") + key; });
    ASSERT_TRUE(Calls(2));
    notifier->Notify(QStringLiteral("t"), QStringLiteral("plain words"));
    ASSERT_TRUE(Calls(3));
    ASSERT_TRUE(WaitUntil([&] { return fake.Calls().size() == 3 && notifier->CurrentId() == id; }));
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(fake.Calls()[2].actions,
              QStringList({QStringLiteral("default"), QStringLiteral("打开")}));
    Signal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), QStringLiteral("accept")});
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(pressed, QStringList({QStringLiteral("decline")}));
}

TEST_F(NotifierBusTest, WithoutAServiceOrABusNothingFailsAndALaterServiceIsUsed) {
    notifier = std::make_unique<DesktopNotifier>(*client);
    for (int i = 0; i < 3; ++i) notifier->Notify(QStringLiteral("t"), QStringLiteral("lost"));
    Settle(std::chrono::milliseconds(300));
    EXPECT_EQ(notifier->CurrentId(), 0u);
    // The failed calls have ended: a service that appears later gets the next one.
    StartService();
    int activations = 0;
    notifier->SetOnActivated([&] { ++activations; });
    notifier->Notify(QStringLiteral("t"), QStringLiteral("found"));
    ASSERT_TRUE(Calls(1));
    EXPECT_EQ(fake.Calls().back().body, QStringLiteral("found"));
    // Its clicks are heard, though it came after the notifier (presses are taken only from
    // the service's name, whoever owns it now).
    ASSERT_TRUE(WaitUntil([&] { return notifier->CurrentId() != 0; }));
    Signal(QStringLiteral("ActionInvoked"),
           {QVariant::fromValue(notifier->CurrentId()), QStringLiteral("default")});
    EXPECT_TRUE(WaitUntil([&] { return activations == 1; }));

    DesktopNotifier unconnected(QDBusConnection(QStringLiteral("no such connection")));
    unconnected.Notify(QStringLiteral("t"), QStringLiteral("nowhere"));
    Settle(std::chrono::milliseconds(50));
    EXPECT_EQ(unconnected.CurrentId(), 0u);
}

// Records what the window asks to be told.
class RecordingNotifier : public INotifier {
public:
    void Notify(const QString& title, const QString& text) override {
        told.push_back(title + QStringLiteral(" | ") + text);
    }
    void SetOnActivated(std::function<void()> handler) override { activate = std::move(handler); }
    QStringList told;
    std::function<void()> activate;
};

class WindowNotifyTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        notifier = std::make_shared<RecordingNotifier>();
        b->devices.notifier = notifier;
        b->TypeAddress(QStringLiteral("127.0.0.1"));
        a->form->activateWindow();
        ASSERT_TRUE(WaitUntil([&] { return a->form->isActiveWindow(); }));
    }

    // A line from the peer's side, as it comes over the control port.
    bool Line(const std::string& gbk) {
        return SendRaw("127.0.0.2", kTestControlPort, gbk + "\r\n");
    }

    bool Told(int n) {
        return WaitUntil([&] { return notifier->told.size() >= n; });
    }

    std::shared_ptr<RecordingNotifier> notifier;
};

TEST_F(WindowNotifyTest, ThePeersNewsIsToldWhileTheWindowIsNotActive) {
    ASSERT_TRUE(Line("hello /@@second line"));
    ASSERT_TRUE(Told(1));
    EXPECT_EQ(notifier->told.back(), QStringLiteral("127.0.0.1 | hello \r\nsecond line"));
    // A file offer is told once, though its notice is also shown as a line.
    ASSERT_TRUE(Line(lines::Wire(lines::kFileOffered)));
    ASSERT_TRUE(Told(2));
    EXPECT_TRUE(notifier->told.back().endsWith(QString::fromUtf8(lines::kFileOffered)));
    ASSERT_TRUE(Line(lines::kVideoPortPrefix + std::string("12345")));
    ASSERT_TRUE(Told(3));
    EXPECT_TRUE(notifier->told.back().endsWith(QString::fromUtf8(lines::kVideoOpened)));
    ASSERT_TRUE(Line(lines::kVoicePortPrefix + std::string("2345")));
    ASSERT_TRUE(Told(4));
    EXPECT_TRUE(notifier->told.back().endsWith(QString::fromUtf8(lines::kVoiceOffered)));
    // A second offer soon after is told again, so that its button answers it.
    ASSERT_TRUE(Line(lines::Wire(lines::kFileOffered)));
    ASSERT_TRUE(Told(5));
    EXPECT_TRUE(notifier->told.back().endsWith(QString::fromUtf8(lines::kFileOffered)));
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(notifier->told.size(), 5);

    // A click on the notification brings the window to the front.
    ASSERT_TRUE(notifier->activate);
    b->form->showMinimized();
    Settle(std::chrono::milliseconds(50));
    notifier->activate();
    ASSERT_TRUE(WaitUntil([&] { return b->form->isActiveWindow() && !b->form->isMinimized(); }));
    // While the user looks at the window, nothing more is told.
    ASSERT_TRUE(Line("seen"));
    ASSERT_TRUE(WaitUntil([&] { return b->HistoryText().contains(QStringLiteral("seen")); }));
    EXPECT_EQ(notifier->told.size(), 5);
}

}  // namespace
}  // namespace quorell::test
