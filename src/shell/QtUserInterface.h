#pragma once
// The windowed user interface: the main upload window, the login-and-preferences panel,
// maintenance windows and, where the desktop has one, a tray icon. Implements the same port as
// the console; every call may come from any thread.

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <mutex>

#include "shell/QtDesktopNotifier.h"
#include "shell/QtMainWindow.h"
#include "shell/QtPreferencesPanel.h"
#include "ui/DesktopNotices.h"
#include "upload/UserInterface.h"

class QMenu;

namespace vorn {

class AppController;

class QtUserInterface : public QObject, public UserInterface {
    Q_OBJECT
  public:
    // Main thread only. quit asks the application for its orderly stop.
    QtUserInterface(PreferencesStore& store, std::function<void()> quit);
    ~QtUserInterface() override;

    // The controller the windows' actions go to; set once, before the event loop runs.
    void setController(AppController* controller);

    QtMainWindow* mainWindow() const { return main_; }
    QtPreferencesPanel* preferencesPanel() const { return panel_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    QMenu* trayMenu() const { return trayMenu_; }
    QtDesktopNotifier* desktopNotifier() const { return notifier_; }
    // The time the notices measure waits in (tests pass their own).
    void setNoticeClock(std::function<DesktopNotices::TimePoint()> now);

    // The Preferences button: opens the panel now, or after the current upload when one runs.
    void ibClickedOnOpenPref(QWidget* sender);
    // The end of the panel shown as a sheet: the cycle resumes.
    void sheetDidEnd(int returnCode);
    // Started without its main window (--background, or not shown at launch): passes then leave
    // it hidden until a person asks for it.
    void setRunsHidden(bool hidden);
    // A person asked for the main window (tray, `vornctl show`, a second launch): shown, raised
    // and made active; passes bring it back from now on.
    void showMainWindow();
    // The relaunch flags for this moment: 1 while the main window (or a panel on it) is shown and
    // active, 1049344 otherwise.
    std::uint32_t relaunchFlags() const;
    // Fills the version lines.
    void fillInVersionStrings(const std::string& appVersion, const std::string& osVersion,
                              const std::string& copyright);

    // ---- UserInterface ----
    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) override;
    using UserInterface::ibUpdateFTPCallbackStatusTextField;
    void ibUpdateUploadStatusTextField(const std::string& text) override;
    void ibUpdateFileNameField(const std::string& text) override;
    void ibUpdateProgressBar(bool animate) override;
    void showPreviewImage(const std::string& path) override;
    void setPauseResumeButton(const std::string& title, bool enabled) override;
    void ibUpdateLoginName(const std::string& text) override;
    void ibUpdateUploadMainPath(const std::string& text) override;
    void ibUpdateSourceFolderPath(const std::string& text) override;
    void beep() override;
    bool hasImageView() const override { return true; }
    std::unique_ptr<MaintenanceWindow> newMaintenanceWindow() override;
    void doHandleOpenPrefPanel(DictionaryPtr sender) override;
    void showCycleState(CycleState state, const std::string& reason) override;
    void showTransferProgress(const TransferProgress& progress) override;
    void showTransferEnded(const std::string& name) override;
    void showWaitingCount(std::size_t photosWaiting) override;
    void showUploadOutcome(const UploadOutcome& outcome) override;
    bool mainWindowShown() const override;
    void bringMainWindowForward() override;
    void preferencesSaved() override;

    // The program's icon (drawn from vorn.svg) with a dot for the cycle's state.
    static QIcon stateIcon(CycleState state);

  private:
    void setUpTray();
    // The main window's "Sending to" line from the store: host, event, and any warning.
    void showDestination();
    // Feeds one fact to the notice rules (any thread) and sends what they answer.
    void notice(const std::function<std::vector<DesktopNotices::Notice>(
                    DesktopNotices&, DesktopNotices::TimePoint)>& fact);
    void updateTray();

    PreferencesStore& store_;
    std::function<void()> quit_;
    AppController* controller_ = nullptr;
    QtMainWindow* main_ = nullptr;
    QtPreferencesPanel* panel_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QAction* trayPauseAction_ = nullptr;

    bool runsHidden_ = false;  // main thread only

    QtDesktopNotifier* notifier_ = nullptr;
    std::mutex noticesMutex_;  // the two below
    DesktopNotices notices_;
    std::function<DesktopNotices::TimePoint()> noticeClock_ = [] {
        return std::chrono::steady_clock::now();
    };

    std::mutex trayMutex_;
    CycleState state_ = CycleState::Idle;
    std::string lastError_;
    std::string stateReason_;
    std::size_t waiting_ = 0;
};

}  // namespace vorn
