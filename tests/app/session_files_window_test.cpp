// Files between two windows over a real session on loopback: several files and a folder tree
// in one offer, what the receiver is told before it accepts, a transfer cut by a cancel and by
// a closed window and then resumed, a declined offer, both directions at once beside the chat,
// and the words of the history lines themselves.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <random>

#include "app/files_text.h"
#include "session_files_fixture.h"

namespace quorell::test {
namespace {

QByteArray Bytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

bool HistoryHas(const Peer& peer, const QString& text) {
    return peer.HistoryText().contains(text);
}

class SessionFilesWindowTest : public SessionFilesFixture {
protected:
    static void SendFolder(Peer& peer, const QString& folder) {
        peer.dialogs.folders.push_back(folder);
        peer.form->SendMenu()->actions().at(1)->trigger();
    }
    // Drops the paths on the window as a file manager would.
    static void Drop(Peer& peer, const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& path : paths) urls.push_back(QUrl::fromLocalFile(path));
        mime.setUrls(urls);
        const QPoint at(peer.form->width() / 2, peer.form->height() / 2);
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(peer.form.get(), &enter);
        QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(peer.form.get(), &drop);
    }
    // Waits for the peer's offer and takes it into `folder` (empty: the dialog is cancelled).
    static void Receive(Peer& peer, const QString& folder) {
        ASSERT_TRUE(WaitUntil([&] { return OfferWaits(peer); }));
        peer.dialogs.folders.push_back(folder);
        QTest::mouseClick(peer.form->BitBtn7, Qt::LeftButton);
    }
};

TEST_F(SessionFilesWindowTest, SeveralFilesAndAFolderTreeArriveByteForByteAndTakenNamesAreAsked) {
    // Over the session the send button opens its menu instead of the file dialog.
    QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
    EXPECT_TRUE(a->form->SendMenu()->isVisible());
    a->form->SendMenu()->hide();
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("open")), 0);

    WriteFile(Src(QStringLiteral("a.bin")), Bytes(300000, 1));
    WriteFile(Src(QStringLiteral("空.txt")), QByteArray());
    WriteFile(Src(QStringLiteral("album/2024/照片.jpg")), Bytes(1500000, 2));
    WriteFile(Src(QStringLiteral("album/notes.txt")), Bytes(10, 3));
    QDir().mkpath(Src(QStringLiteral("album/empty")));
    SendFiles(*a, {Src(QStringLiteral("a.bin")), Src(QStringLiteral("空.txt")),
                   Src(QStringLiteral("album"))});

    // B is told what comes before it says yes.
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b); }));
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("对方想发送 4 个文件")))
        << b->HistoryText().toStdString();
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("a.bin（300 kB）、空.txt（0 B）、album/（1.5 MB）")));
    EXPECT_TRUE(HistoryHas(*a, QStringLiteral("等待对方接收")));
    Receive(*b, target.path());
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 4 个文件"), 1)) << b->HistoryText().toStdString();
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("保存在 ") + target.path()));
    ASSERT_TRUE(Lines(*a, QStringLiteral("已发送 4 个文件"), 1)) << a->HistoryText().toStdString();
    for (const char* name : {"a.bin", "空.txt", "album/2024/照片.jpg", "album/notes.txt"}) {
        const QString path = QString::fromUtf8(name);
        EXPECT_EQ(ReadFile(Dst(path)), ReadFile(Src(path))) << name;
    }
    EXPECT_TRUE(QFileInfo(Dst(QStringLiteral("album/empty"))).isDir());
    EXPECT_EQ(b->form->BitBtn7->isEnabled(), false);

    // The history's menu opens the received folder through the desktop.
    std::unique_ptr<QMenu> menu(b->form->MakeHistoryMenu());
    QAction* folder = menu->actions().constLast();
    EXPECT_EQ(folder->text(), QStringLiteral("打开所在文件夹"));
    folder->trigger();
    EXPECT_EQ(b->opener->opened, QStringList({target.path()}));

    // A folder offered again over names B has: asked once; no keeps B's files and skips them.
    WriteFile(Dst(QStringLiteral("album/notes.txt")), "B's own");
    WriteFile(Src(QStringLiteral("album/new.txt")), Bytes(5000, 4));
    SendFolder(*a, Src(QStringLiteral("album")));
    b->dialogs.yes_answers = {false};
    Receive(*b, target.path());
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 1 个文件"), 1)) << b->HistoryText().toStdString();
    EXPECT_EQ(b->dialogs.Count(QStringLiteral("yes or no")), 1);
    EXPECT_EQ(ReadFile(Dst(QStringLiteral("album/notes.txt"))), QByteArray("B's own"));
    EXPECT_EQ(ReadFile(Dst(QStringLiteral("album/new.txt"))),
              ReadFile(Src(QStringLiteral("album/new.txt"))));
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("album/notes.txt：已有同名文件，未替换")));
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("保存在 ") + Dst(QStringLiteral("album"))));
}

TEST_F(SessionFilesWindowTest, ATransferCutByACancelAndByAClosedWindowResumesWhereItStopped) {
    const QByteArray big = Bytes(48 * 1000 * 1000, 5);
    WriteFile(Src(QStringLiteral("big.bin")), big);
    const QString part = Dst(QStringLiteral("big.bin.part"));
    const auto cut_after = [&](qint64 bytes) {
        return WaitUntil([&] { return QFileInfo(part).size() > bytes; }, std::chrono::seconds(60));
    };

    // B cancels with the receive button, which reads "取消" while receiving.
    SendFiles(*a, {Src(QStringLiteral("big.bin"))});
    Receive(*b, target.path());
    ASSERT_TRUE(WaitUntil([&] { return b->form->BitBtn7->text() == QStringLiteral("取消"); }));
    ASSERT_TRUE(cut_after(1000000));
    QTest::mouseClick(b->form->BitBtn7, Qt::LeftButton);
    ASSERT_TRUE(Lines(*b, QStringLiteral("已取消接收文件"), 1)) << b->HistoryText().toStdString();
    ASSERT_TRUE(Lines(*a, QStringLiteral("对方取消了接收"), 1)) << a->HistoryText().toStdString();
    const qint64 first_cut = QFileInfo(part).size();
    ASSERT_GT(first_cut, 1000000);
    ASSERT_LT(first_cut, big.size());

    // Offered again; then A's window closes in the middle, which tells B.
    SendFiles(*a, {Src(QStringLiteral("big.bin"))});
    Receive(*b, target.path());
    ASSERT_TRUE(cut_after(first_cut + 1000000));
    const std::string a_folder = IdentityFolder(*a);
    a.reset();
    ASSERT_TRUE(Lines(*b, QStringLiteral("对方取消了发送"), 1)) << b->HistoryText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return !b->form->SessionOpen(); }));
    ASSERT_FALSE(QFileInfo::exists(Dst(QStringLiteral("big.bin"))));

    // A comes back: the third offer goes on from what is there and ends whole.
    PeerPorts ports;
    ports.session = kTestSessionPort;
    a = std::make_unique<Peer>("127.0.0.1", bridge, ports, a_folder);
    OpenSession();
    SendFiles(*a, {Src(QStringLiteral("big.bin"))});
    Receive(*b, target.path());
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 1 个文件"), 1)) << b->HistoryText().toStdString();
    EXPECT_TRUE(HistoryHas(*b, QStringLiteral("其中 1 个从 "))) << b->HistoryText().toStdString();
    EXPECT_TRUE(ReadFile(Dst(QStringLiteral("big.bin"))) == big);
    EXPECT_FALSE(QFileInfo::exists(part));
    // One file: the menu opens it, and its folder.
    std::unique_ptr<QMenu> menu(b->form->MakeHistoryMenu());
    const QList<QAction*> actions = menu->actions();
    actions.at(actions.size() - 2)->trigger();
    actions.constLast()->trigger();
    EXPECT_EQ(b->opener->opened, QStringList({Dst(QStringLiteral("big.bin")), target.path()}));
}

TEST_F(SessionFilesWindowTest, ACancelledFolderDialogDeclinesAndBothWaysGoAtOnceBesideTheChat) {
    WriteFile(Src(QStringLiteral("x.bin")), Bytes(2000, 6));
    SendFiles(*a, {Src(QStringLiteral("x.bin"))});
    Receive(*b, QString());
    ASSERT_TRUE(Lines(*a, QStringLiteral("对方没有接收"), 1)) << a->HistoryText().toStdString();
    ASSERT_TRUE(Lines(*b, QStringLiteral("已拒绝接收对方的文件"), 1));
    EXPECT_FALSE(b->form->BitBtn7->isEnabled());
    EXPECT_FALSE(QFileInfo::exists(Dst(QStringLiteral("x.bin"))));

    // A stops its offer while B has not answered yet: B's receive button goes back.
    SendFiles(*a, {Src(QStringLiteral("x.bin"))});
    ASSERT_TRUE(WaitUntil([&] { return OfferWaits(*b); }));
    ASSERT_TRUE(WaitUntil([&] { return a->form->SendMenu()->actions().at(2)->isEnabled(); }));
    a->form->SendMenu()->actions().at(2)->trigger();
    ASSERT_TRUE(Lines(*a, QStringLiteral("已停止发送 1 项"), 1)) << a->HistoryText().toStdString();
    ASSERT_TRUE(Lines(*b, QStringLiteral("对方取消了发送"), 1)) << b->HistoryText().toStdString();
    EXPECT_FALSE(b->form->BitBtn7->isEnabled());

    // Each side sends the other while both chat; B's comes as a drop of a file and a folder.
    const QByteArray there = Bytes(24 * 1000 * 1000, 7), back = Bytes(24 * 1000 * 1000, 8);
    WriteFile(Src(QStringLiteral("there.bin")), there);
    WriteFile(Src(QStringLiteral("back.bin")), back);
    WriteFile(Src(QStringLiteral("dropped/d.txt")), "dropped");
    QTemporaryDir at_a;
    SendFiles(*a, {Src(QStringLiteral("there.bin"))});
    Drop(*b, {Src(QStringLiteral("back.bin")), Src(QStringLiteral("dropped"))});
    Receive(*b, target.path());
    Receive(*a, at_a.path());
    EXPECT_TRUE(a->form->BitBtn4->isEnabled());
    ASSERT_TRUE(a->Send(QStringLiteral("传着呢")));
    ASSERT_TRUE(b->Send(QStringLiteral("收到")));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*b, QStringLiteral("]: 传着呢")); }));
    ASSERT_TRUE(WaitUntil([&] { return HistoryHas(*a, QStringLiteral("]: 收到")); }));
    ASSERT_TRUE(Lines(*b, QStringLiteral("已收到 1 个文件"), 1)) << b->HistoryText().toStdString();
    ASSERT_TRUE(Lines(*a, QStringLiteral("已收到 2 个文件"), 1)) << a->HistoryText().toStdString();
    EXPECT_EQ(ReadFile(QDir(at_a.path()).filePath(QStringLiteral("dropped/d.txt"))), "dropped");
    EXPECT_TRUE(ReadFile(Dst(QStringLiteral("there.bin"))) == there);
    EXPECT_TRUE(ReadFile(QDir(at_a.path()).filePath(QStringLiteral("back.bin"))) == back);
    // Nothing moves any more: the rows are gone.
    ASSERT_TRUE(
        WaitUntil([&] { return !a->form->Label7->isVisible() && !a->form->Label8->isVisible(); }));
}

// A drop of several files without a session keeps its box (DropTest pins it).
TEST_F(TwoPeers, WithoutASessionTheSendButtonOpensTheFileDialogAndNoMenu) {
    ConnectBothWays();
    QTest::mouseClick(a->form->BitBtn4, Qt::LeftButton);
    EXPECT_EQ(a->dialogs.Count(QStringLiteral("open")), 1);
    EXPECT_FALSE(a->form->SendMenu()->isVisible());
}

// The words of the history lines, from the results the engine gives.
TEST(FilesTextTest, OffersEndsAndProgressReadAsTheUserNeedsThem) {
    EXPECT_EQ(FormatSize(999), QStringLiteral("999 B"));
    EXPECT_EQ(FormatSize(999960), QStringLiteral("1.0 MB"));
    EXPECT_EQ(FormatSize(123456789), QStringLiteral("123 MB"));

    using session::EntryKind;
    std::vector<session::OfferEntry> entries;
    for (int i = 0; i < 7; ++i)
        entries.push_back({EntryKind::kFile, "f" + std::to_string(i), 1000});
    entries.push_back({EntryKind::kFolder, "d/empty", 0});
    EXPECT_EQ(OfferContents(entries, 7000),
              QStringLiteral("7 个文件、1 个文件夹，共 7.0 kB：f0（1.0 kB）、f1（1.0 kB）、"
                             "f2（1.0 kB）、f3（1.0 kB）、f4（1.0 kB） 等 8 项"));

    files::Offer offer;
    offer.skipped_symlinks = 2;
    offer.skipped_unreadable = 1;
    EXPECT_EQ(SkippedText(offer),
              QStringLiteral("有 3 项没有发送：2 个符号链接、1 个无法读取的项目"));

    files::IncomingResult result;
    result.end = files::TransferEnd::kFinished;
    const auto file = [](const char* path, bool answered, session::FileStatus status) {
        files::ReceivedFile f;
        f.path = path;
        f.wanted = true;
        f.answered = answered;
        f.status = status;
        return f;
    };
    files::ReceivedFile ok = file("album/a", true, session::FileStatus::kOk);
    ok.resumed = true;
    ok.from = 5000000;
    ok.received_bytes = 1000000;
    const files::ReceivedFile bad = file("album/b", true, session::FileStatus::kHashMismatch);
    const files::ReceivedFile cut = file("album/c", false, session::FileStatus::kCancelled);
    result.files = {ok, bad, cut};
    EXPECT_EQ(IncomingEndText(result, "/home/u/下载"),
              QStringLiteral("已收到 1 个文件（6.0 MB），保存在 /home/u/下载/album，其中 1 个从 "
                             "5.0 MB 处续传。\r\n  album/b：校验不符，已保留为 album/b.part"
                             "\r\n  album/c：未收到"));
    result.end = files::TransferEnd::kCancelledByPeer;
    result.files = {bad};
    EXPECT_EQ(IncomingEndText(result, "/x"),
              QStringLiteral("对方取消了发送。\r\n  album/b：校验不符，已保留为 album/b.part"));

    files::OutgoingResult sent;
    sent.end = files::TransferEnd::kFinished;
    files::SentFile failed;
    failed.index = 1;
    failed.wanted = failed.answered = true;
    failed.status = session::FileStatus::kWriteFailed;
    sent.files = {failed};
    EXPECT_EQ(OutgoingEndText(sent, {"top", "top/a"}, 2, 10),
              QStringLiteral("已发送 0 个文件（0 B）。\r\n  top/a：对方写入失败"));

    EXPECT_EQ(ProgressText(false, "album/2024/a.jpg", 2, 10, "12.5 MB/s"),
              QStringLiteral("正在接收 a.jpg（3/10） 12.5 MB/s"));
    EXPECT_EQ(ProgressText(true, "", 10, 10, ""), QStringLiteral("正在发送（10/10）"));
}

}  // namespace
}  // namespace quorell::test
