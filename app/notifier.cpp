#include "app/notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <utility>

namespace quorell {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
// A service that does not answer within this time is taken as absent for that call.
constexpr int kCallTimeoutMs = 5000;

}  // namespace

QString NotificationBody(const QString& text) {
    // The first line that is not blank: a long text is scanned once, never split up.
    QStringView line;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != QLatin1Char('\n') &&
               text[end] != QLatin1Char('\r'))
            ++end;
        const QStringView candidate = QStringView(text).mid(start, end - start).trimmed();
        if (!candidate.isEmpty()) {
            line = candidate;
            break;
        }
        start = end + 1;
    }
    QString plain;
    plain.reserve(std::min<qsizetype>(line.size(), kMaxNotificationChars + 1));
    for (QChar c : line) {
        const ushort u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0)) continue;
        plain.append(c);
        if (plain.size() > kMaxNotificationChars) break;  // enough to know it is cut
    }
    if (plain.size() > kMaxNotificationChars) {
        qsizetype cut = kMaxNotificationChars;
        // Never half of a character outside the basic plane.
        if (plain.at(cut - 1).isHighSurrogate()) --cut;
        plain = plain.left(cut) + QChar(0x2026);
    }
    // Notification servers read a subset of HTML in the body.
    return plain.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}

DesktopNotifier::DesktopNotifier() : DesktopNotifier(QDBusConnection::sessionBus()) {}

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus) : bus_(bus) {
    if (!bus_.isConnected()) return;
    // Only the notification service itself may report a press: any other program on the bus
    // could otherwise accept a file in the user's name.
    bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(OnActionInvoked(uint, QString)));
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(OnNotificationClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() {
    if (!bus_.isConnected()) return;
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(OnActionInvoked(uint, QString)));
    bus_.disconnect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(OnNotificationClosed(uint, uint)));
}

void DesktopNotifier::SetOnActivated(std::function<void()> handler) {
    on_activated_ = std::move(handler);
}

void DesktopNotifier::Notify(const QString& title, const QString& text) {
    NotifyWithActions(title, text, {}, nullptr);
}

void DesktopNotifier::NotifyWithActions(const QString& title, const QString& text,
                                        const QList<NotificationAction>& actions,
                                        std::function<void(const QString& key)> on_action) {
    if (!bus_.isConnected()) return;
    pending_buttons_ = Buttons{actions, std::move(on_action)};
    title_ = title;
    body_ = NotificationBody(text);
    pending_ = true;
    // The answer to the call in flight brings the id this one replaces; it goes out then.
    if (!in_flight_) Send();
}

void DesktopNotifier::Send() {
    pending_ = false;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quorell"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    QStringList actions{kDefaultAction, QStringLiteral("打开")};
    for (const NotificationAction& action : pending_buttons_.actions)
        actions << action.key << action.label;
    call << QStringLiteral("Quorell") << id_ << QStringLiteral("quorell") << title_ << body_
         << actions << hints << -1;
    in_flight_buttons_ = std::move(pending_buttons_);
    pending_buttons_ = {};
    in_flight_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                in_flight_ = false;
                const QDBusPendingReply<uint> reply = *done;
                // No service (or a broken one): the next notification starts afresh.
                id_ = reply.isError() ? 0 : reply.value();
                if (id_ != 0) {
                    shown_id_ = id_;
                    shown_buttons_ = std::move(in_flight_buttons_);
                }
                in_flight_buttons_ = {};
                if (pending_) Send();
            });
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action) {
    // Some services report the close before the click, so the click is matched against the
    // id shown last rather than the one still open.
    if (id == 0 || id != shown_id_) return;
    if (action == kDefaultAction) {
        if (on_activated_) on_activated_();
        return;
    }
    for (const NotificationAction& button : shown_buttons_.actions) {
        if (button.key != action || !shown_buttons_.on_action) continue;
        // Once: a service that reports the press twice does not accept twice.
        const std::function<void(const QString&)> on_action =
            std::exchange(shown_buttons_.on_action, nullptr);
        on_action(action);
        return;
    }
}

void DesktopNotifier::OnNotificationClosed(uint id, uint) {
    if (id != 0 && id == id_) id_ = 0;
}

}  // namespace quorell
