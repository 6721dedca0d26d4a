#include "app/color_scheme.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace quorell {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kNamespace = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");
const QString kReadOne = QStringLiteral("ReadOne");
const QString kRead = QStringLiteral("Read");

}  // namespace

std::optional<bool> PrefersDark(const QVariant& value) {
    // ReadOne gives the value in one variant, the older Read in a variant inside a variant;
    // deeper than that is nobody's answer.
    QVariant inner = value;
    for (int depth = 0; depth < 3 && inner.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth)
        inner = inner.value<QDBusVariant>().variant();
    if (inner.metaType() != QMetaType::fromType<uint>()) return std::nullopt;
    switch (inner.toUInt()) {
        case 0:
        case 2:
            return false;
        case 1:
            return true;
        default:
            return std::nullopt;
    }
}

PortalColorScheme::PortalColorScheme() : PortalColorScheme(QDBusConnection::sessionBus()) {}

PortalColorScheme::PortalColorScheme(const QDBusConnection& bus) : bus_(bus) {
    if (!bus_.isConnected()) return;
    // Listening first: a change while the first question is on its way is not missed.
    bus_.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                 SLOT(OnSettingChanged(QDBusMessage)));
    Ask(kReadOne);
}

PortalColorScheme::~PortalColorScheme() {
    if (!bus_.isConnected()) return;
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                    SLOT(OnSettingChanged(QDBusMessage)));
}

void PortalColorScheme::Follow(Handler handler) {
    handler_ = std::move(handler);
    if (handler_ && dark_) handler_(*dark_);
}

void PortalColorScheme::Ask(const QString& method) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments({kNamespace, kKey});
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* done) { Answered(done, method); });
}

void PortalColorScheme::Answered(QDBusPendingCallWatcher* watcher, const QString& method) {
    watcher->deleteLater();
    const QDBusMessage reply = watcher->reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // Portals before ReadOne answer only Read. Without a portal there is nobody to ask.
        if (method == kReadOne && reply.errorName() != QStringLiteral("org.freedesktop.DBus.Error."
                                                                      "ServiceUnknown"))
            Ask(kRead);
        return;
    }
    // The value in a variant, as both methods declare it; anything else is malformed.
    if (changed_ || reply.signature() != QStringLiteral("v")) return;
    Take(PrefersDark(reply.arguments().constFirst()));
}

void PortalColorScheme::OnSettingChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (message.signature() != QStringLiteral("ssv") || args[0].toString() != kNamespace ||
        args[1].toString() != kKey)
        return;
    const std::optional<bool> dark = PrefersDark(args[2]);
    if (!dark) return;
    changed_ = true;
    Take(dark);
}

void PortalColorScheme::Take(std::optional<bool> dark) {
    if (!dark || dark == dark_) return;
    dark_ = dark;
    if (handler_) handler_(*dark_);
}

}  // namespace quorell
