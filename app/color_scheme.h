#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariant>
#include <functional>
#include <optional>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace quorell {

// Where the desktop's choice between a light and a dark look comes from. Used on the
// user-interface thread only.
class IColorScheme {
public:
    using Handler = std::function<void(bool dark)>;
    virtual ~IColorScheme() = default;
    // The handler hears the desktop's choice once it is known, and every change after that;
    // it replaces the one given before (empty: nobody listens).
    virtual void Follow(Handler handler) = 0;
};

// The desktop's choice as the settings portal gives it (its "color-scheme": 1 prefers dark,
// 0 has no preference and 2 prefers light), unwrapped from the variants around it. None for
// anything else: a malformed value changes nothing.
std::optional<bool> PrefersDark(const QVariant& value);

// The settings portal (org.freedesktop.portal.Settings on the session bus): asks for the
// colour scheme with ReadOne, with Read on portals that lack it, and follows SettingChanged.
// Every call is asynchronous. Without a bus or a portal the handler never hears anything.
class PortalColorScheme : public QObject, public IColorScheme {
    Q_OBJECT
public:
    // The session bus of the user.
    PortalColorScheme();
    // Another bus (tests use a private one).
    explicit PortalColorScheme(const QDBusConnection& bus);
    ~PortalColorScheme() override;

    void Follow(Handler handler) override;
    // The latest choice heard; none until the portal has told one.
    std::optional<bool> Dark() const { return dark_; }

private slots:
    void OnSettingChanged(const QDBusMessage& message);

private:
    void Ask(const QString& method);
    void Answered(QDBusPendingCallWatcher* watcher, const QString& method);
    void Take(std::optional<bool> dark);

    QDBusConnection bus_;
    Handler handler_;
    std::optional<bool> dark_;
    bool changed_ = false;  // a change came before the first answer, which is then older
};

}  // namespace quorell
