// Telling the user what the peer did while they look at another window: the taskbar's
// attention hint and a desktop notification that brings the window back when clicked.
#include <QApplication>
#include <QEvent>
#include <QLineEdit>

#include "app/devices.h"
#include "app/form1.h"
#include "app/notifier.h"

namespace quorell {

namespace {
// The peer's notice and its effect arrive one after the other with the same words.
constexpr auto kSameNewsWithin = std::chrono::seconds(2);
}  // namespace

void TForm1::TellUser(const QString& text) {
    TellUser(text, {}, nullptr);
}

void TForm1::TellUser(const QString& text, const QList<NotificationAction>& actions,
                      std::function<void(const QString&)> on_action) {
    if (isActiveWindow()) return;
    if (!attention_asked_) {
        attention_asked_ = true;  // until the window is active again
        QApplication::alert(this);
    }
    INotifier* notifier = devices_.notifier.get();
    if (notifier == nullptr) return;
    // Lines come on connections of their own, so a notice and its effect may have another
    // piece of news between them. News with buttons is always told: it is an offer of its own,
    // and only the latest notification's buttons answer.
    const auto now = std::chrono::steady_clock::now();
    while (!recently_told_.empty() &&
           (now - recently_told_.front().second >= kSameNewsWithin || recently_told_.size() > 8))
        recently_told_.pop_front();
    if (actions.isEmpty()) {
        for (const auto& [told, at] : recently_told_)
            if (told == text) return;
    }
    recently_told_.emplace_back(text, now);
    notifier->SetOnActivated([this] { RaiseFromNotification(); });
    const QString address = Edit1->text().trimmed();
    const QString title = address.isEmpty() ? QStringLiteral("Quorell") : address;
    if (actions.isEmpty()) {
        notifier->Notify(title, text);
    } else {
        notifier->NotifyWithActions(title, text, actions, std::move(on_action));
    }
}

void TForm1::RaiseFromNotification() {
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void TForm1::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        attention_asked_ = false;
        if (tray_) tray_->WindowSeen();
    }
    QWidget::changeEvent(event);
}

}  // namespace quorell
