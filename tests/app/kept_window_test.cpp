// The kept history through two real windows on loopback: a line written before a reconnect is
// shown again after it, older pages come on demand, 清屏 asks before deleting, search and
// export go through the dialogs, and a database that cannot be opened is told once.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "app/qt_bridge.h"
#include "keep/history_store.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

const QString kOwn = QStringLiteral("自己[");
const QString kPeer = QStringLiteral("对方[");
const std::string kKeyOfB = "ip:127.0.0.2";

class KeptWindowTest : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        folder_.setAutoRemove(true);
        history_ = folder_.path().toStdString() + "/history";
    }

    void StartA(int session_port = 0) {
        a.reset();
        PeerPorts ports;
        ports.history_folder = history_;
        ports.session = session_port;
        a = std::make_unique<Peer>("127.0.0.1", bridge, ports,
                                   folder_.path().toStdString() + "/identity-a");
    }
    std::string Database() const { return history_ + "/history.sqlite3"; }
    std::int64_t Stored(const std::string& key) {
        keep::HistoryStore store;
        EXPECT_EQ(store.Open(Database()), "");
        return store.Count(key);
    }
    // The line of the history that holds text, -1 when none does.
    int LineOf(const QString& text) const {
        const QStringList lines = a->History();
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].contains(text)) return i;
        return -1;
    }
    QAction* MenuEntry(QMenu& menu, const QString& text) {
        for (QAction* action : menu.actions())
            if (action->text() == text) return action;
        return nullptr;
    }

    QTemporaryDir folder_;
    std::string history_;
};

TEST_F(KeptWindowTest, ALineBeforeAReconnectIsShownAgainAndClearingAsksBeforeDeleting) {
    StartA();
    ConnectBothWays();
    ASSERT_TRUE(a->Send(QStringLiteral("hello <b>&amp;")));
    ASSERT_TRUE(b->Send(QStringLiteral("reply\r\nsecond line")));
    ASSERT_TRUE(
        WaitUntil([&] { return a->HistoryText().contains(QStringLiteral("second line")); }));

    StartA();  // the program again: nothing shown until it connects
    EXPECT_EQ(a->HistoryText(), QString());
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return LineOf(QStringLiteral("second line")) >= 0; }))
        << a->HistoryText().toStdString();
    const int own = LineOf(QStringLiteral("hello <b>&amp;"));
    const int peer = LineOf(QStringLiteral("reply"));
    ASSERT_GE(own, 0);
    EXPECT_TRUE(a->History()[own].startsWith(kOwn));
    EXPECT_TRUE(a->History()[peer].startsWith(kPeer));
    EXPECT_LT(own, peer);
    // Shown above this run's connect line, each once.
    EXPECT_LT(LineOf(QStringLiteral("second line")), a->History().size() - 1);
    EXPECT_EQ(a->HistoryText().count(QStringLiteral("hello <b>")), 1);

    // 清屏, then "no": the view is empty, what is kept stays.
    a->dialogs.yes_answers = {false};
    QTest::mouseClick(a->form->Button2, Qt::LeftButton);
    EXPECT_EQ(a->HistoryText(), QString());
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("yes or no")), 1);
    const std::int64_t kept = Stored(kKeyOfB);
    EXPECT_GE(kept, 4);  // connects, both lines

    a->dialogs.yes_answers = {true};
    QTest::mouseClick(a->form->Button2, Qt::LeftButton);
    EXPECT_TRUE(WaitUntil([&] { return Stored(kKeyOfB) == 0; }));
}

TEST_F(KeptWindowTest, LinesKeptBeforeKeepingWasTurnedOffAndOnAreShownOnceOnReturning) {
    {
        keep::HistoryStore store;
        ASSERT_EQ(store.Open(Database()), "");
        keep::Record record;
        record.text = "an earlier run's line";
        ASSERT_EQ(store.Append({{kKeyOfB, record}}), "");
    }
    const auto shown = [&](const QString& text) { return a->HistoryText().count(text); };
    const QString earlier = QStringLiteral("an earlier run's line");
    StartA();
    ConnectBothWays();
    ASSERT_TRUE(WaitUntil([&] { return shown(earlier) == 1; }));
    ASSERT_TRUE(a->Send(QStringLiteral("before the toggle")));
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<QMenu> menu(a->form->MakeHistoryMenu());
        MenuEntry(*menu, QStringLiteral("保存聊天记录"))->trigger();
    }
    // Another peer for a while, then back.
    Peer c("127.0.0.3", bridge);
    a->TypeAddress(QStringLiteral("127.0.0.3"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return shown(earlier) == 0; }));
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(WaitUntil([&] { return shown(earlier) == 1; }));
    EXPECT_EQ(shown(QStringLiteral("before the toggle")), 1) << a->HistoryText().toStdString();
}

TEST_F(KeptWindowTest, OlderPagesComeOnDemandAndSearchAndExportGoThroughTheDialogs) {
    {
        keep::HistoryStore store;
        ASSERT_EQ(store.Open(Database()), "");
        std::vector<std::pair<std::string, keep::Record>> lines;
        for (int i = 0; i < 250; ++i) {
            keep::Record record;
            record.time_ms = 1700000000000 + i * 1000;
            record.kind = i % 2 ? keep::Kind::kPeer : keep::Kind::kOwn;
            record.text = "old line " + std::to_string(i) + (i == 7 ? " <script>x()</script>" : "");
            lines.emplace_back(kKeyOfB, record);
        }
        ASSERT_EQ(store.Append(lines), "");
    }
    StartA();
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    const auto shown = [&] { return a->HistoryText().count(QStringLiteral("old line ")); };
    ASSERT_TRUE(WaitUntil([&] { return shown() == 100; })) << shown();
    EXPECT_EQ(LineOf(QStringLiteral("old line 150")), 0);

    for (int expected : {200, 250}) {
        std::unique_ptr<QMenu> menu(a->form->MakeHistoryMenu());
        QAction* older = MenuEntry(*menu, QStringLiteral("显示更早的聊天记录"));
        ASSERT_NE(older, nullptr);
        ASSERT_TRUE(older->isEnabled());
        older->trigger();
        ASSERT_TRUE(WaitUntil([&] { return shown() == expected; })) << shown();
    }
    EXPECT_EQ(LineOf(QStringLiteral("old line 0 ")), -1);  // "old line 0" ends its line
    EXPECT_EQ(LineOf(QStringLiteral("old line 0")), 0);
    {
        std::unique_ptr<QMenu> menu(a->form->MakeHistoryMenu());
        QAction* older = MenuEntry(*menu, QStringLiteral("显示更早的聊天记录"));
        ASSERT_NE(older, nullptr);
        EXPECT_FALSE(older->isEnabled());
    }

    std::unique_ptr<QMenu> menu(a->form->MakeHistoryMenu());
    a->dialogs.texts = {QStringLiteral("<script>")};
    QAction* search = MenuEntry(*menu, QStringLiteral("查找聊天记录…"));
    QAction* save = MenuEntry(*menu, QStringLiteral("导出聊天记录…"));
    ASSERT_NE(search, nullptr);
    ASSERT_NE(save, nullptr);
    search->trigger();
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("plain")) == 1; }));
    EXPECT_TRUE(a->dialogs.LastText().startsWith(QStringLiteral("找到 1 条")));
    EXPECT_TRUE(a->dialogs.LastText().contains(QStringLiteral("old line 7 <script>")));

    const QString path = folder_.path() + QStringLiteral("/out.html");
    a->dialogs.export_names = {path};
    save->trigger();
    ASSERT_TRUE(WaitUntil([&] { return a->dialogs.Count(QStringLiteral("plain")) == 2; }));
    EXPECT_TRUE(a->dialogs.LastText().contains(QStringLiteral("已导出")))
        << a->dialogs.LastText().toStdString();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(file.readAll());
    EXPECT_FALSE(html.contains(QStringLiteral("<script>")));
    EXPECT_TRUE(html.contains(QStringLiteral("old line 7 &lt;script&gt;x()&lt;/script&gt;")));
    EXPECT_EQ(html.count(QStringLiteral("<p>")), 250 + 1);  // and this run's connect line
}

TEST_F(KeptWindowTest, ADamagedDatabaseIsToldOnceLeftAloneAndTheChatGoesOn) {
    QDir().mkpath(QString::fromStdString(history_));
    const QByteArray garbage(5000, '\x13');
    {
        QFile file(QString::fromStdString(Database()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(garbage);
    }
    StartA();
    ASSERT_TRUE(WaitUntil([&] { return a->HistoryText().contains(QStringLiteral("损坏")); }));
    ConnectBothWays();
    ASSERT_TRUE(a->Send(QStringLiteral("still chatting")));
    EXPECT_EQ(a->HistoryText().count(QStringLiteral("本次不保存聊天记录")), 1);
    std::unique_ptr<QMenu> menu(a->form->MakeHistoryMenu());
    EXPECT_EQ(MenuEntry(*menu, QStringLiteral("导出聊天记录…")), nullptr);
    QAction* keeping = MenuEntry(*menu, QStringLiteral("保存聊天记录"));
    ASSERT_NE(keeping, nullptr);
    EXPECT_FALSE(keeping->isChecked());
    menu.reset();  // a child of the history box
    a.reset();
    QFile file(QString::fromStdString(Database()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), garbage);
}

TEST_F(KeptWindowTest, OverASessionTheLinesAreKeptByThePeersKeyAndShownAtTheNextSession) {
    StartA(kTestSessionPort);
    b.reset();
    PeerPorts ports;
    ports.session = kTestSessionPort;
    b = std::make_unique<Peer>("127.0.0.2", bridge, ports,
                               folder_.path().toStdString() + "/identity-b");
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(a->form->SessionOpen()) << a->HistoryText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return b->form->SessionOpen(); }));
    ASSERT_TRUE(b->Send(QStringLiteral("over the session")));
    ASSERT_TRUE(WaitUntil([&] { return LineOf(QStringLiteral("over the session")) >= 0; }));

    StartA(kTestSessionPort);
    ASSERT_TRUE(WaitUntil([&] { return !b->form->SessionOpen(); }));
    EXPECT_EQ(Stored(kKeyOfB), 0);  // kept by the key, not the address
    a->TypeAddress(QStringLiteral("127.0.0.2"));
    a->Connect();
    ASSERT_TRUE(a->form->SessionOpen());
    ASSERT_TRUE(WaitUntil([&] { return LineOf(QStringLiteral("over the session")) >= 0; }));
    EXPECT_TRUE(a->History()[LineOf(QStringLiteral("over the session"))].startsWith(kPeer));
}

}  // namespace
}  // namespace quorell::test
