#pragma once
// Desktop notifications of the windowed uploader, through org.freedesktop.Notifications on the
// session bus: the notices DesktopNotices decides on, each with an action that shows the main
// window. Nothing is sent while the preference prefShowDesktopNotifications is off, or when no
// notification server runs.

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <functional>

#include "settings/PreferencesStore.h"
#include "ui/DesktopNotices.h"

namespace vorn {

class QtDesktopNotifier : public QObject {
    Q_OBJECT
  public:
    // showWindow: what the notification's action does. Main thread only.
    QtDesktopNotifier(PreferencesStore& store, std::function<void()> showWindow,
                      QObject* parent = nullptr);

    // The bus the notifications go to (the session bus by default; tests use one of their own).
    void setConnection(const QDBusConnection& bus);
    // Sends the notice unless the preference is off; returns at once.
    void send(const DesktopNotices::Notice& notice);

  private slots:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

  private:
    PreferencesStore& store_;
    std::function<void()> showWindow_;
    QDBusConnection bus_;
    QSet<uint> ours_;  // ids of the notifications out, for their actions
};

}  // namespace vorn
