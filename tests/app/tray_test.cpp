// The tray: the unread count, its tooltip and badge, and what clicking and the menu do to the
// window; then the same on a real window, whose close hides it once the tray is shown.
#include "app/tray.h"

#include <QAction>
#include <QImage>
#include <QMenu>
#include <QTest>
#include <vector>

#include "app/form1.h"
#include "support/two_peers.h"

namespace quorell::test {
namespace {

// The window as the tray sees it; records what it was asked to do.
class FakeTrayWindow : public ITrayWindow {
public:
    bool WindowShown() const override { return shown; }
    void ShowWindow() override {
        shown = true;
        calls.push_back("show");
    }
    void HideWindow() override {
        shown = false;
        calls.push_back("hide");
    }
    void QuitProgram() override { calls.push_back("quit"); }

    bool shown = true;
    std::vector<std::string> calls;
};

TEST(Tray, CountsOnlyWhatTheUserDidNotSeeUntilTheWindowIsSeen) {
    FakeTrayWindow window;
    Tray tray(window, QIcon());
    EXPECT_EQ(tray.ToolTip(), QStringLiteral("Quorell"));
    tray.MessageArrived(true);  // in front of the user
    EXPECT_EQ(tray.Unread(), 0);
    tray.MessageArrived(false);
    tray.MessageArrived(false);
    tray.MessageArrived(false);
    EXPECT_EQ(tray.Unread(), 3);
    EXPECT_EQ(tray.ToolTip(), QStringLiteral("Quorell：3 条未读消息"));
    tray.WindowSeen();
    EXPECT_EQ(tray.Unread(), 0);
    EXPECT_EQ(tray.ToolTip(), QStringLiteral("Quorell"));

    // A click on the icon brings the window and clears the count.
    window.shown = false;
    tray.MessageArrived(false);
    tray.Clicked();
    EXPECT_EQ(window.calls, std::vector<std::string>{"show"});
    EXPECT_EQ(tray.Unread(), 0);
}

TEST(Tray, TheMenuTogglesTheWindowAndSaysWhatItWillDoAndQuits) {
    FakeTrayWindow window;
    Tray tray(window, QIcon());
    ASSERT_NE(tray.Menu(), nullptr);
    EXPECT_EQ(tray.ToggleAction()->text(), QStringLiteral("隐藏窗口"));
    tray.ToggleAction()->trigger();
    EXPECT_EQ(window.calls, std::vector<std::string>{"hide"});
    EXPECT_EQ(tray.ToggleAction()->text(), QStringLiteral("显示窗口"));
    tray.MessageArrived(false);
    tray.ToggleAction()->trigger();
    EXPECT_EQ(window.calls, (std::vector<std::string>{"hide", "show"}));
    EXPECT_EQ(tray.Unread(), 0);
    // Shown or hidden another way: the menu says so when it opens.
    window.shown = false;
    emit tray.Menu()->aboutToShow();
    EXPECT_EQ(tray.ToggleAction()->text(), QStringLiteral("显示窗口"));

    QAction* quit = tray.Menu()->actions().back();
    EXPECT_EQ(quit->text(), QStringLiteral("退出"));
    quit->trigger();
    EXPECT_EQ(window.calls.back(), "quit");
}

TEST(Tray, TheBadgeIsDrawnOnlyWhileSomethingIsUnread) {
    QPixmap blue(64, 64);
    blue.fill(Qt::blue);
    const QIcon icon(blue);
    EXPECT_EQ(IconWithCount(icon, 0).cacheKey(), icon.cacheKey());
    for (int unread : {1, 42, 1000}) {
        const QImage badge = IconWithCount(icon, unread).pixmap(64, 64).toImage();
        ASSERT_FALSE(badge.isNull());
        // Red in the lower right, the icon untouched in the upper left.
        const QColor corner = badge.pixelColor(60, 48);
        EXPECT_GT(corner.red(), 150) << unread;
        EXPECT_LT(corner.blue(), 100) << unread;
        EXPECT_EQ(badge.pixelColor(4, 4), QColor(Qt::blue)) << unread;
    }
}

class WindowTrayTest : public TwoPeers {};

TEST_F(WindowTrayTest, MessagesWhileHiddenCountAndCloseHidesOnceTheTrayIsShown) {
    ConnectBothWays();
    Tray& tray = b->form->TrayIcon();
    // The test's desktop has no tray: the window closes as it always did until one is shown.
    EXPECT_FALSE(tray.Shown());

    tray.Show();
    b->form->close();
    EXPECT_FALSE(b->form->isVisible());
    ASSERT_TRUE(a->Send(QStringLiteral("one")));
    ASSERT_TRUE(a->Send(QStringLiteral("two")));
    ASSERT_TRUE(WaitUntil([&] { return tray.Unread() == 2; }));
    EXPECT_EQ(tray.ToolTip(), QStringLiteral("Quorell：2 条未读消息"));

    // Shown from the tray: the count is cleared and the window is back.
    tray.Clicked();
    EXPECT_TRUE(b->form->isVisible());
    EXPECT_EQ(tray.Unread(), 0);

    // Quitting from the tray really closes it.
    tray.Quit();
    EXPECT_FALSE(b->form->isVisible());
}

}  // namespace
}  // namespace quorell::test
