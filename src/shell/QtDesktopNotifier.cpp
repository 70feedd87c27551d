#include "shell/QtDesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"

namespace vorn {

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
}  // namespace

QtDesktopNotifier::QtDesktopNotifier(PreferencesStore& store, std::function<void()> showWindow,
                                     QObject* parent)
    : QObject(parent),
      store_(store),
      showWindow_(std::move(showWindow)),
      bus_(QDBusConnection::sessionBus()) {
    setConnection(bus_);
}

void QtDesktopNotifier::setConnection(const QDBusConnection& bus) {
    bus_.disconnect(kService, kPath, kInterface, "ActionInvoked", this,
                    SLOT(onActionInvoked(uint, QString)));
    bus_.disconnect(kService, kPath, kInterface, "NotificationClosed", this,
                    SLOT(onClosed(uint, uint)));
    bus_ = bus;
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kInterface, "ActionInvoked", this,
                 SLOT(onActionInvoked(uint, QString)));
    bus_.connect(kService, kPath, kInterface, "NotificationClosed", this,
                 SLOT(onClosed(uint, uint)));
}

void QtDesktopNotifier::send(const DesktopNotices::Notice& notice) {
    logAt(LogLevel::Info, "Notice: %s: %s", notice.summary.c_str(), notice.body.c_str());
    if (!store_.boolForKey(sPrefShowDesktopNotifications) || !bus_.isConnected()) return;
    const bool urgent = notice.reason == DesktopNotices::Reason::StoppedOnError ||
                        notice.reason == DesktopNotices::Reason::CannotFile;
    QVariantMap hints{{"desktop-entry", QStringLiteral("vorn-uploader")},
                      {"urgency", QVariant::fromValue<uchar>(urgent ? 2 : 1)}};
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    // "default" is the click on the notification itself.
    call << QStringLiteral("Vorn Uploader") << 0u << QStringLiteral("vorn-uploader")
         << QString::fromStdString(notice.summary) << QString::fromStdString(notice.body)
         << QStringList{"default", "Show Window"} << hints << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            logAt(LogLevel::Warn, "No desktop notification: %s",
                  reply.error().message().toUtf8().constData());
        else
            ours_.insert(reply.value());
        w->deleteLater();
    });
}

void QtDesktopNotifier::onActionInvoked(uint id, const QString& action) {
    if (!ours_.contains(id)) return;
    if (action == QLatin1String("default") || action == QLatin1String("Show Window")) showWindow_();
}

void QtDesktopNotifier::onClosed(uint id, uint) {
    ours_.remove(id);
}

}  // namespace vorn
