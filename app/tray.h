#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <memory>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace quorell {

// The peer's messages the user has not seen: those that came while the window was hidden,
// minimised or not active. Seeing the window clears the count.
class UnreadCount {
public:
    // A message arrived; it counts unless the user had the window in front of them.
    void Arrived(bool window_seen) {
        if (!window_seen) ++count_;
    }
    void Seen() { count_ = 0; }
    int Count() const { return count_; }

private:
    int count_ = 0;
};

// The tray icon's tooltip: the program's name, and the unread messages when there are any.
QString TrayToolTip(int unread);
// The icon with the count drawn on a red badge in its lower right corner ("99+" past 99);
// the icon itself when nothing is unread.
QIcon IconWithCount(const QIcon& icon, int unread);

// What the tray needs of the window.
class ITrayWindow {
public:
    virtual ~ITrayWindow() = default;
    // Visible and not minimised.
    virtual bool WindowShown() const = 0;
    // Shows the window (restored if minimised), raises and activates it.
    virtual void ShowWindow() = 0;
    virtual void HideWindow() = 0;
    // Ends the program as closing the window without a tray would, asking first when
    // something runs.
    virtual void QuitProgram() = 0;
};

// The program's icon in the desktop's tray (a StatusNotifierItem, through Qt), with the
// unread count in its tooltip and on its picture, and a menu to show or hide the window and to
// quit. A click on the icon shows and raises the window. The icon itself is made only once it
// is shown, so a desktop without a tray never sees one.
class Tray : public QObject {
public:
    Tray(ITrayWindow& window, QIcon icon, QObject* parent = nullptr);
    ~Tray() override;

    // The desktop has a tray (a StatusNotifierWatcher on the session bus, for Qt).
    static bool Available();
    // Shows the icon; from then on closing the window hides it.
    void Show();
    bool Shown() const { return icon_ != nullptr; }

    // A message from the peer arrived; window_seen: the user had the window in front of them.
    void MessageArrived(bool window_seen);
    // The window was shown or activated.
    void WindowSeen();
    int Unread() const { return unread_.Count(); }
    QString ToolTip() const { return TrayToolTip(unread_.Count()); }

    // What the user does with the icon: clicks it, toggles the window from the menu, quits.
    void Clicked();
    void ToggleWindow();
    void Quit();
    // The menu's first entry says what toggling does ("显示窗口" or "隐藏窗口").
    QMenu* Menu() const { return menu_.get(); }
    QAction* ToggleAction() const { return toggle_; }

private:
    void Refresh();

    ITrayWindow& window_;
    QIcon base_;
    UnreadCount unread_;
    std::unique_ptr<QMenu> menu_;
    QAction* toggle_ = nullptr;
    QSystemTrayIcon* icon_ = nullptr;  // a child; none until shown
};

}  // namespace quorell
