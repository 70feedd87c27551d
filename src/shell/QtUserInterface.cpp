#include "shell/QtUserInterface.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>
#include <QUrl>

#include "app/AppController.h"
#include "app/Relaunch.h"
#include "log/MessageLog.h"
#include "platform/PlatformLog.h"
#include "platform/Resources.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
#include "shell/QtAlerts.h"

namespace vorn {

namespace {
constexpr const char* kSenderKey = "sender";
constexpr const char* kPrefButtonSender = "ibOpenPrefButton";
}  // namespace

QtUserInterface::QtUserInterface(PreferencesStore& store, std::function<void()> quit)
    : store_(store), quit_(std::move(quit)) {
    main_ = new QtMainWindow;
    main_->setWindowIcon(stateIcon(CycleState::Idle));
    QtPreferencesPanel::Actions actions;
    actions.uploadStarted = [this] {
        return controller_ && controller_->flags().startedUploadProcess();
    };
    actions.saveLoginInfo = [this] { return !controller_ || controller_->saveLoginInfo(); };
    actions.quit = [this] { quit_(); };
    panel_ = new QtPreferencesPanel(store, std::move(actions), main_);
    panel_->setWindowFlag(Qt::Dialog);
    connect(panel_, &QDialog::finished, this, [this](int code) {
        if (panel_->displayAsSheet()) sheetDidEnd(code);
    });

    connect(main_, &QtMainWindow::synchronizeClicked, this, [this] {
        if (controller_) controller_->ibUserClickedOnSynchronize();
    });
    connect(main_, &QtMainWindow::pauseResumeClicked, this, [this] {
        if (controller_) controller_->ibClickedOnHalt();
    });
    connect(main_, &QtMainWindow::preferencesClicked, this,
            [this] { ibClickedOnOpenPref(main_->ibOpenPrefButton); });
    connect(main_, &QtMainWindow::quitClicked, this, [this] {
        MessageLog::LogMessage("ibClickedOnQuit\n");
        quit_();
    });
    connect(main_, &QtMainWindow::supportMailClicked, this, [] { QtAlerts::sendMailCocoa(); });
    setUpTray();
    notifier_ = new QtDesktopNotifier(
        store_, [this] { showMainWindow(); }, this);
    // A failing service turns into a notice by the passing of time alone.
    auto* tick = new QTimer(this);
    connect(tick, &QTimer::timeout, this, [this] {
        notice([](DesktopNotices& n, DesktopNotices::TimePoint now) { return n.tick(now); });
    });
    tick->start(std::chrono::seconds(30));
    showDestination();
    store_.addObserver(this, [this](const std::string& key) {
        if (key == sPrefKivURL || key == sUserEnteredEventName || key == sUserLoginName)
            showDestination();
    });
}

void QtUserInterface::setNoticeClock(std::function<DesktopNotices::TimePoint()> now) {
    std::lock_guard lock(noticesMutex_);
    noticeClock_ = std::move(now);
}

void QtUserInterface::notice(const std::function<std::vector<DesktopNotices::Notice>(
                                 DesktopNotices&, DesktopNotices::TimePoint)>& fact) {
    std::vector<DesktopNotices::Notice> out;
    {
        std::lock_guard lock(noticesMutex_);
        out = fact(notices_, noticeClock_());
    }
    if (out.empty()) return;
    runOnMainThread(
        this,
        [this, out] {
            for (const auto& n : out) notifier_->send(n);
        },
        false);
}

void QtUserInterface::showDestination() {
    const QUrl url(QString::fromStdString(store_.stringForKey(sPrefKivURL).value_or("")));
    const QString host =
        url.port() > 0 ? QString("%1:%2").arg(url.host()).arg(url.port()) : url.host();
    const QString event =
        QString::fromStdString(store_.stringForKey(sUserEnteredEventName).value_or("")).trimmed();
    QStringList warnings;
    for (const std::string& w : preferenceWarnings(store_)) warnings << QString::fromStdString(w);
    main_->showDestination(host, event, warnings.join("\n"));
}

QtUserInterface::~QtUserInterface() {
    store_.removeObserver(this);
    delete tray_;
    delete trayMenu_;
    delete main_;
}

void QtUserInterface::setController(AppController* controller) {
    controller_ = controller;
}

void QtUserInterface::fillInVersionStrings(const std::string& appVersion,
                                           const std::string& osVersion,
                                           const std::string& copyright) {
    // Written straight away: the window may still be hidden, and hidden windows ignore updates.
    main_->ibVersion->setText(QString("App Vers: v%1").arg(QString::fromStdString(appVersion)));
    main_->ibMacOSVersion->setText(QString("System: %1").arg(QString::fromStdString(osVersion)));
    main_->ibCopyright->setText(QString::fromStdString(copyright));
    if (auto* version = panel_->findChild<QLabel*>("panelVersion"))
        version->setText(QString("Version: %1").arg(QString::fromStdString(appVersion)));
}

// ---- the panel ----

void QtUserInterface::ibClickedOnOpenPref(QWidget* sender) {
    if (main_->isVisible() && controller_ && controller_->flags().startedUploadProcess()) {
        ibUpdateFTPCallbackStatusTextField(
            "Will Open Pref Panel After Current Item is Finished...");
        auto* button = qobject_cast<QPushButton*>(sender);
        (button ? button : main_->ibOpenPrefButton)->setEnabled(false);
        controller_->forceProcessToPause();
        auto info = std::make_shared<Dictionary>();
        if (button) (*info)[kSenderKey] = kPrefButtonSender;
        AppController* controller = controller_;
        controller->workerThreads().spawn(
            [controller, info] { controller->doWaitForUploadProcessToEndInThread(info); });
        return;
    }
    DictionaryPtr info;
    if (qobject_cast<QPushButton*>(sender)) {
        info = std::make_shared<Dictionary>();
        (*info)[kSenderKey] = kPrefButtonSender;
    }
    doHandleOpenPrefPanel(info);
}

void QtUserInterface::doHandleOpenPrefPanel(DictionaryPtr sender) {
    runOnMainThread(
        this,
        [this, sender] {
            QWidget* parent = nullptr;
            if (sender && sender->count(kSenderKey)) {
                parent = main_;
                main_->ibOpenPrefButton->setEnabled(true);
            } else if (sender && main_->isVisible()) {
                parent = main_;
            } else if (sender) {
                platformLog("ibClickedOnOpenPref CANNOT determine parentWindow???");
            }
            panel_->selectTab(1);
            if (parent && panel_->isVisible()) return;
            if (parent) {
                panel_->setDisplayAsSheet(true);
                if (controller_) controller_->cancelRetriggerTimerOnMainThread();
                panel_->setWindowModality(Qt::WindowModal);
                panel_->open();
            } else {
                panel_->setDisplayAsSheet(false);
                panel_->setWindowModality(Qt::NonModal);
                panel_->show();
                panel_->raise();
                panel_->activateWindow();
            }
        },
        false);
}

void QtUserInterface::sheetDidEnd(int) {
    panel_->setDisplayAsSheet(false);
    panel_->hide();
    if (controller_) controller_->doHandlePauseResumeButtonAsResume();
}

// ---- fields ----

void QtUserInterface::ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) {
    ibUpdateNSTextField(main_->ibFTPCallbackStatusField, QString::fromStdString(text), false,
                        isError, true);
    if (isError && !text.empty()) {
        {
            std::lock_guard lock(trayMutex_);
            lastError_ = text;
        }
        notice([&text](DesktopNotices& n, DesktopNotices::TimePoint now) {
            return n.errorShown(text, now);
        });
    }
}

void QtUserInterface::ibUpdateUploadStatusTextField(const std::string& text) {
    ibUpdateNSTextField(main_->ibUploadFileStatusField, QString::fromStdString(text), false, false,
                        true);
}

void QtUserInterface::ibUpdateFileNameField(const std::string& text) {
    ibUpdateNSTextField(main_->ibFileNameField, QString::fromStdString(text), false, false, true);
}

void QtUserInterface::ibUpdateProgressBar(bool animate) {
    if (!animate) {
        vorn::ibUpdateProgressBar(main_->ibProgressBar, "NO");
        return;
    }
    // Busy only until the transfer shows its bytes, in the same place.
    runOnMainThread(
        this,
        [this] {
            if (!main_->transferBar_->isVisible())
                vorn::ibUpdateProgressBar(main_->ibProgressBar, "YES");
        },
        false);
}

void QtUserInterface::showPreviewImage(const std::string& path) {
    QString p = QString::fromStdString(path);
    runOnMainThread(
        this, [this, p] { main_->showPreview(p); }, false);
}

void QtUserInterface::setPauseResumeButton(const std::string& title, bool enabled) {
    QString t = QString::fromStdString(title);
    runOnMainThread(
        this,
        [this, t, enabled] {
            main_->ibPauseResumeButton->setText(t);
            main_->ibPauseResumeButton->setEnabled(enabled);
            if (trayPauseAction_) {
                trayPauseAction_->setText(t);
                trayPauseAction_->setEnabled(enabled);
            }
        },
        false);
}

void QtUserInterface::ibUpdateLoginName(const std::string& text) {
    ibUpdateNSTextField(main_->ibLoginName, QString::fromStdString(text), false, false, true);
}

void QtUserInterface::ibUpdateUploadMainPath(const std::string& text) {
    ibUpdateNSTextField(main_->ibUploadMainPath, QString::fromStdString(text), false, false, true);
}

void QtUserInterface::ibUpdateSourceFolderPath(const std::string& text) {
    QString t = QString::fromStdString(text);
    ibUpdateNSTextField(main_->ibSourceFolderPath, t, false, false, true);
    QPointer<QLabel> field = main_->ibSourceFolderPath;
    runOnMainThread(
        this,
        [field, t] {
            if (field) field->setToolTip(t);
        },
        false);
}

void QtUserInterface::beep() {
    runOnMainThread(
        this, [] { QApplication::beep(); }, false);
}

std::unique_ptr<MaintenanceWindow> QtUserInterface::newMaintenanceWindow() {
    return std::make_unique<QtMaintenanceWindow>(main_);
}

// ---- live facts ----

void QtUserInterface::showCycleState(CycleState state, const std::string& reason) {
    {
        std::lock_guard lock(trayMutex_);
        state_ = state;
        stateReason_ = reason;  // the photos in flight while uploading
        if (state == CycleState::Error && !reason.empty()) lastError_ = reason;
    }
    main_->showCycleState(state, QString::fromStdString(reason));
    runOnMainThread(
        this, [this] { updateTray(); }, false);
    notice([&](DesktopNotices& n, DesktopNotices::TimePoint now) {
        return n.cycleState(state, reason, now);
    });
}

void QtUserInterface::showTransferProgress(const TransferProgress& progress) {
    main_->showTransferProgress(progress);
}

void QtUserInterface::showTransferEnded(const std::string& name) {
    main_->showTransferEnded(name);
}

void QtUserInterface::showWaitingCount(std::size_t photosWaiting) {
    {
        std::lock_guard lock(trayMutex_);
        waiting_ = photosWaiting;
    }
    main_->showWaitingCount(photosWaiting);
    runOnMainThread(
        this, [this] { updateTray(); }, false);
    notice([photosWaiting](DesktopNotices& n, DesktopNotices::TimePoint now) {
        return n.waiting(photosWaiting, now);
    });
}

void QtUserInterface::showUploadOutcome(const UploadOutcome& outcome) {
    main_->showLastUpload(outcome);
    notice([&outcome](DesktopNotices& n, DesktopNotices::TimePoint now) {
        return n.outcome(outcome, now);
    });
}

// ---- the windows themselves ----

bool QtUserInterface::mainWindowShown() const {
    bool shown = false;
    runOnMainThread(
        main_, [this, &shown] { shown = main_->isVisible(); }, true);
    return shown;
}

void QtUserInterface::bringMainWindowForward() {
    runOnMainThread(
        this,
        [this] {
            if (runsHidden_ || main_->isVisible()) return;
            main_->show();
            main_->raise();
        },
        false);
}

void QtUserInterface::setRunsHidden(bool hidden) {
    runsHidden_ = hidden;
}

void QtUserInterface::showMainWindow() {
    runsHidden_ = false;
    if (main_->isMinimized())
        main_->showNormal();
    else
        main_->show();
    main_->raise();
    main_->activateWindow();
}

std::uint32_t QtUserInterface::relaunchFlags() const {
    // A panel or alert on the main window counts as the main window being in front.
    bool inFront = false;
    for (QWidget* w = QApplication::activeWindow(); w && !inFront; w = w->parentWidget())
        inFront = w == main_;
    return launchFlagsFor(inFront && main_->isVisible());
}

void QtUserInterface::preferencesSaved() {
    runOnMainThread(
        this, [this] { panel_->loginInfoSaved(); }, false);
}

// ---- tray ----

QIcon QtUserInterface::stateIcon(CycleState state) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    if (auto svg = pathForResource("vorn.svg")) {
        QSvgRenderer renderer(QString::fromStdString(*svg));
        renderer.render(&painter);
    }
    QColor dot;
    switch (state) {
        case CycleState::Uploading:
        case CycleState::Scanning:
            dot = QColor("#2e9b3f");
            break;
        case CycleState::Pausing:
        case CycleState::Paused:
        case CycleState::WaitingForSettings:
            dot = QColor("#e8a317");
            break;
        case CycleState::Error:
            dot = QColor("#d0312d");
            break;
        case CycleState::Idle:
            break;
    }
    if (dot.isValid()) {
        painter.setPen(QPen(Qt::white, 3));
        painter.setBrush(dot);
        painter.drawEllipse(QPointF(50, 50), 12, 12);
    }
    painter.end();
    return QIcon(pixmap);
}

void QtUserInterface::setUpTray() {
    trayMenu_ = new QMenu;
    trayMenu_->setObjectName("trayMenu");
    auto item = [this](const QString& text, std::function<void()> act) {
        QAction* action = trayMenu_->addAction(text);
        connect(action, &QAction::triggered, this, [act] { act(); });
        return action;
    };
    item("Upload Now", [this] { emit main_->synchronizeClicked(); });
    trayPauseAction_ = item("Pause", [this] { emit main_->pauseResumeClicked(); });
    item("Show Window", [this] { showMainWindow(); });
    item("Preferences…", [this] {
        showMainWindow();
        ibClickedOnOpenPref(main_->ibOpenPrefButton);
    });
    trayMenu_->addSeparator();
    item("Quit", [this] { emit main_->quitClicked(); });
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    tray_ = new QSystemTrayIcon(stateIcon(CycleState::Idle));
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r != QSystemTrayIcon::Trigger) return;
        if (!main_->isVisible()) {
            showMainWindow();
            return;
        }
        // Put away from the tray: it stays away until asked for, not back at the next photo.
        main_->hide();
        runsHidden_ = true;
    });
    main_->setHidesOnClose(true);
    updateTray();
    tray_->show();
}

void QtUserInterface::updateTray() {
    std::lock_guard lock(trayMutex_);
    QString tip = QString("Vorn Uploader: %1").arg(QString::fromUtf8(cycleStateName(state_)));
    if ((state_ == CycleState::Uploading || state_ == CycleState::Pausing) && !stateReason_.empty())
        tip += " (" + QString::fromStdString(stateReason_) + ")";
    tip += QString("\n%1 waiting").arg(waiting_);
    if (!lastError_.empty()) tip += "\nLast error: " + QString::fromStdString(lastError_);
    main_->setWindowIcon(stateIcon(state_));
    if (!tray_) return;
    tray_->setIcon(stateIcon(state_));
    tray_->setToolTip(tip);
}

}  // namespace vorn
