// The palette that follows the desktop: the settings portal's answers and changes on a private
// session bus, and the window switching between light and dark.
#include "app/color_scheme.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <memory>
#include <mutex>
#include <vector>

#include "app/form1.h"
#include "app/qt_bridge.h"
#include "app/theme.h"
#include "support/private_bus.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

QVariant Wrapped(const QVariant& value) {
    return QVariant::fromValue(QDBusVariant(value));
}

TEST(PrefersDark, OnlyTheKnownValuesInOneOrTwoVariants) {
    EXPECT_EQ(PrefersDark(Wrapped(1u)), true);
    EXPECT_EQ(PrefersDark(Wrapped(0u)), false);
    EXPECT_EQ(PrefersDark(Wrapped(2u)), false);
    EXPECT_EQ(PrefersDark(Wrapped(Wrapped(1u))), true);
    EXPECT_EQ(PrefersDark(QVariant(1u)), true);
    EXPECT_EQ(PrefersDark(Wrapped(3u)), std::nullopt);
    EXPECT_EQ(PrefersDark(Wrapped(QStringLiteral("1"))), std::nullopt);
    EXPECT_EQ(PrefersDark(Wrapped(1.0)), std::nullopt);
    EXPECT_EQ(PrefersDark(QVariant()), std::nullopt);
    EXPECT_EQ(PrefersDark(Wrapped(Wrapped(Wrapped(Wrapped(1u))))), std::nullopt);
}

// The settings portal as far as the program uses it. Qt may hand it the calls on its own D-Bus
// thread, hence the lock.
class FakePortal : public QDBusVirtualObject {
public:
    enum class Answer { kValue, kTwoArguments, kNotAVariant };

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard lock(mutex_);
        methods_.push_back(message.member());
        const QList<QVariant> args = message.arguments();
        const bool ours =
            args.size() == 2 && args[0].toString() == kNamespace && args[1].toString() == kKey;
        const bool read_one = message.member() == QStringLiteral("ReadOne") && has_read_one;
        if (!ours || (!read_one && message.member() != QStringLiteral("Read"))) {
            connection.send(message.createErrorReply(QDBusError::UnknownMethod, QString()));
            return true;
        }
        QDBusMessage reply;
        switch (answer) {
            case Answer::kValue:
                reply = message.createReply(read_one ? Wrapped(value) : Wrapped(Wrapped(value)));
                break;
            case Answer::kTwoArguments:
                reply = message.createReply(QList<QVariant>{Wrapped(value), Wrapped(value)});
                break;
            case Answer::kNotAVariant:
                reply = message.createReply(QVariant(value.toUInt()));
                break;
        }
        connection.send(reply);
        return true;
    }

    std::vector<QString> Methods() const {
        std::lock_guard lock(mutex_);
        return methods_;
    }

    // Set before the service starts.
    bool has_read_one = true;
    QVariant value = 1u;
    Answer answer = Answer::kValue;

private:
    mutable std::mutex mutex_;
    std::vector<QString> methods_;
};

class PortalTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString why;
        if (!bus.Start(why)) GTEST_SKIP() << why.toStdString();
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus.Address(), QStringLiteral("portal-test-client")));
        ASSERT_TRUE(client->isConnected());
    }

    void TearDown() override {
        scheme.reset();
        if (service) {
            service->unregisterObject(kPath);
            service.reset();
            QDBusConnection::disconnectFromBus(QStringLiteral("portal-test-service"));
        }
        client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("portal-test-client"));
    }

    void StartService() {
        service = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus.Address(), QStringLiteral("portal-test-service")));
        ASSERT_TRUE(service->isConnected());
        ASSERT_TRUE(service->registerVirtualObject(kPath, &portal));
        ASSERT_TRUE(service->registerService(kName));
    }

    void StartScheme() {
        scheme = std::make_unique<PortalColorScheme>(*client);
        scheme->Follow([this](bool dark) { heard.push_back(dark); });
    }

    void Changed(const QString& name_space, const QString& key, const QVariant& value) {
        QDBusMessage signal =
            QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("SettingChanged"));
        signal.setArguments({name_space, key, Wrapped(value)});
        service->send(signal);
    }

    PrivateBus bus;
    FakePortal portal;
    std::unique_ptr<QDBusConnection> service;
    std::unique_ptr<QDBusConnection> client;
    std::unique_ptr<PortalColorScheme> scheme;
    std::vector<bool> heard;
};

TEST_F(PortalTest, TakesTheFirstAnswerThenFollowsChangesOfItsOwnKeyOnly) {
    StartService();
    StartScheme();
    ASSERT_TRUE(WaitUntil([&] { return heard.size() == 1; }));
    EXPECT_TRUE(heard[0]);
    EXPECT_EQ(portal.Methods(), std::vector<QString>{QStringLiteral("ReadOne")});

    Changed(kNamespace, kKey, 0u);
    ASSERT_TRUE(WaitUntil([&] { return heard.size() == 2; }));
    EXPECT_FALSE(heard[1]);
    // Other settings, malformed values and a repeat of the same choice change nothing.
    Changed(kNamespace, QStringLiteral("accent-color"), 1u);
    Changed(QStringLiteral("org.gnome.desktop.interface"), kKey, 1u);
    Changed(kNamespace, kKey, QStringLiteral("dark"));
    Changed(kNamespace, kKey, 9u);
    Changed(kNamespace, kKey, 2u);
    Changed(kNamespace, kKey, 1u);
    ASSERT_TRUE(WaitUntil([&] { return heard.size() == 3; }));
    Settle(std::chrono::milliseconds(100));
    EXPECT_EQ(heard, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(scheme->Dark(), true);

    // One who starts listening later hears the choice at once.
    bool late = false;
    scheme->Follow([&](bool dark) { late = dark; });
    EXPECT_TRUE(late);
}

TEST_F(PortalTest, AnOlderPortalIsAskedWithReadAndItsDoubleVariantUnwrapped) {
    portal.has_read_one = false;
    StartService();
    StartScheme();
    ASSERT_TRUE(WaitUntil([&] { return heard.size() == 1; }));
    EXPECT_TRUE(heard[0]);
    EXPECT_EQ(portal.Methods(),
              (std::vector<QString>{QStringLiteral("ReadOne"), QStringLiteral("Read")}));
}

TEST_F(PortalTest, MalformedAnswersAreIgnoredAndLaterChangesStillHeard) {
    StartService();
    const std::pair<FakePortal::Answer, QVariant> answers[] = {
        {FakePortal::Answer::kTwoArguments, 1u},
        {FakePortal::Answer::kNotAVariant, 1u},
        {FakePortal::Answer::kValue, QStringLiteral("dark")},
        {FakePortal::Answer::kValue, 5u},
    };
    for (const auto& [answer, value] : answers) {
        SCOPED_TRACE(value.toString().toStdString());
        portal.answer = answer;
        portal.value = value;
        const std::size_t asked = portal.Methods().size();
        StartScheme();
        ASSERT_TRUE(WaitUntil([&] { return portal.Methods().size() > asked; }));
        Settle(std::chrono::milliseconds(100));
        EXPECT_TRUE(heard.empty());
        EXPECT_EQ(scheme->Dark(), std::nullopt);
    }
    Changed(kNamespace, kKey, 1u);
    ASSERT_TRUE(WaitUntil([&] { return heard.size() == 1; }));
    EXPECT_TRUE(heard[0]);
}

TEST_F(PortalTest, WithoutAPortalNothingIsHeardAndNothingFails) {
    StartScheme();
    Settle(std::chrono::milliseconds(300));
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(scheme->Dark(), std::nullopt);
}

// A colour scheme the test sets by hand.
class FakeColorScheme : public IColorScheme {
public:
    void Follow(Handler handler) override {
        handler_ = std::move(handler);
        if (handler_ && dark_) handler_(*dark_);
    }
    void Set(bool dark) {
        dark_ = dark;
        if (handler_) handler_(dark);
    }

private:
    Handler handler_;
    std::optional<bool> dark_;
};

TEST(WindowTheme, TheWholeWindowAndTheHistoryFollowTheDesktopBothWays) {
    const QPalette light = QApplication::palette();
    auto scheme = std::make_shared<FakeColorScheme>();
    scheme->Set(true);  // already dark when the window starts
    {
        auto bridge = MakeQtUiBridge();
        Peer peer("127.0.0.1", bridge);
        peer.form.reset();
        peer.devices.color_scheme = scheme;
        StartupConfig config;
        config.bind_address = "127.0.0.1";
        config.control_port = kTestControlPort;
        config.file_port = kTestFilePort;
        config.audio_sink_port = kTestAudioSinkPort;
        peer.form = std::make_unique<TForm1>(config, peer.devices, peer.dialogs, bridge);
        peer.form->show();
        TForm1& form = *peer.form;
        const QPalette dark = DarkPalette();
        // Widgets take a new application palette from their event queue.
        const auto base_is = [&](const QColor& color) {
            return WaitUntil([&] { return form.Memo1->palette().color(QPalette::Base) == color; });
        };
        EXPECT_TRUE(form.DarkTheme());
        ASSERT_TRUE(base_is(dark.color(QPalette::Base)));
        EXPECT_EQ(form.Memo2->palette().color(QPalette::Text), dark.color(QPalette::Text));
        EXPECT_EQ(form.palette().color(QPalette::Window), dark.color(QPalette::Window));
        EXPECT_EQ(form.Button1->palette().color(QPalette::Button), dark.color(QPalette::Button));
        // The disabled buttons stay readable but dimmer than the enabled text.
        EXPECT_LT(
            form.Button1->palette().color(QPalette::Disabled, QPalette::ButtonText).lightness(),
            form.Button1->palette().color(QPalette::Active, QPalette::ButtonText).lightness());

        scheme->Set(false);
        EXPECT_FALSE(form.DarkTheme());
        ASSERT_TRUE(base_is(light.color(QPalette::Base)));
        EXPECT_EQ(form.palette().color(QPalette::WindowText), light.color(QPalette::WindowText));

        scheme->Set(true);
        ASSERT_TRUE(base_is(dark.color(QPalette::Base)));
        scheme->Set(false);
        peer.form.reset();
        bridge->Close();
    }
    EXPECT_EQ(QApplication::palette().color(QPalette::Base), light.color(QPalette::Base));
}

}  // namespace
}  // namespace quorell::test
