#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

namespace quorell {

// A button of a notification: the key it is reported by and the words on it.
struct NotificationAction {
    QString key;
    QString label;
};

// Tells the user about something the peer did while they look at another window. The window
// only calls Notify; how the user is told is up to the implementation. Used on the
// user-interface thread only.
class INotifier {
public:
    virtual ~INotifier() = default;
    // Shows this program's one notification, replacing the one shown before. Returns at once.
    virtual void Notify(const QString& title, const QString& text) = 0;
    // What clicking the notification does (raise the window); empty: nothing.
    virtual void SetOnActivated(std::function<void()> handler) = 0;
    // Shows it as Notify does, with buttons. `on_action` is called on the user-interface
    // thread with the key of the button pressed, at most once, and never after a later
    // notification has replaced this one. Where buttons cannot be shown, this is Notify.
    virtual void NotifyWithActions(const QString& title, const QString& text,
                                   const QList<NotificationAction>& actions,
                                   std::function<void(const QString& key)> on_action) {
        (void)actions;
        (void)on_action;
        Notify(title, text);
    }
};

// The longest body a notification carries, in characters (before markup is escaped).
inline constexpr int kMaxNotificationChars = 200;

// The body of a notification for a text from the peer: its first non-blank line, without
// control characters, cut to kMaxNotificationChars (with "…"), with the markup characters that
// notification servers interpret (& < > ' ") written as entities, so it shows as plain text.
QString NotificationBody(const QString& text);

// Notifications through the desktop's notification service (org.freedesktop.Notifications on
// the session bus). Every call is asynchronous; one call is in flight at a time, and what comes
// meanwhile waits as one pending notification, so each replaces the last rather than stacking.
// Without a bus or a service nothing is shown and nothing fails.
class DesktopNotifier : public QObject, public INotifier {
    Q_OBJECT
public:
    // The session bus of the user.
    DesktopNotifier();
    // Another bus (tests use a private one).
    explicit DesktopNotifier(const QDBusConnection& bus);
    ~DesktopNotifier() override;

    void Notify(const QString& title, const QString& text) override;
    void SetOnActivated(std::function<void()> handler) override;
    void NotifyWithActions(const QString& title, const QString& text,
                           const QList<NotificationAction>& actions,
                           std::function<void(const QString& key)> on_action) override;

    // The id the service gave the notification shown last; 0 when none is shown.
    uint CurrentId() const { return id_; }

private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnNotificationClosed(uint id, uint reason);

private:
    // A notification's buttons and what pressing one does.
    struct Buttons {
        QList<NotificationAction> actions;
        std::function<void(const QString&)> on_action;
    };
    void Send();

    QDBusConnection bus_;
    std::function<void()> on_activated_;
    uint id_ = 0;        // the notification to replace; 0 once it is closed
    uint shown_id_ = 0;  // the notification shown last, closed or not
    bool in_flight_ = false;
    bool pending_ = false;
    QString title_;
    QString body_;
    Buttons pending_buttons_;    // of the notification waiting to go out
    Buttons in_flight_buttons_;  // of the one on its way
    Buttons shown_buttons_;      // of the one shown last
};

}  // namespace quorell
