// Start-up and shutdown of the application controller.

#include <cstdlib>

#include "BuildInfo.h"
#include "app/AppController.h"
#include "files/CleanUp.h"
#include "log/KDLogFileManager.h"
#include "log/MessageLog.h"
#include "metadata/ImageFile.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/SystemInfo.h"
#include "settings/FactoryDefaults.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"

namespace vorn {

void AppController::initializeClass(const LaunchOptions& options, std::shared_ptr<Clock> clock) {
    KDLogFileManager::configure(options.logDir, clock);
    MessageLog::setLogFilePath(appendingPathComponent(
        KDLogFileManager::logDirectory(), std::string(build::kDisplayName) + "Log.txt"));
    KDLogFileManager::setupLogFile();

    auto store = std::make_shared<PreferencesStore>(
        options.prefsPath.empty() ? PreferencesStore::defaultPath() : options.prefsPath);
    store->load();
    Preferences::setStore(store);
    setupFactoryDefaults(*store, defaultFactoryDefaultsPath());

    deleteOldLogs();
}

void AppController::deleteOldLogs() {
    KDLogFileManager::deleteOldLogs(Preferences::getDaysToSaveLogs());
}

void AppController::awakeFromNib() {
    VORN_TRACE(kClass, "awakeFromNib");
    registerNotifications();

    // The system check: real-time watching needs inotify, as it needed 10.5 before.
    std::optional<std::string> version = operatingSystemVersion();
    if (!version) platformLog("runShellScript2 failed to get Mac OS version???");
    const bool watching = realTimeWatchingAvailable();
    if (!watching) platformLog("Real-time folder watching (inotify) is NOT available");
    {
        std::lock_guard lock(fieldsMutex_);
        if (version) macVersionString_ = "v" + *version;
        isRunningLeopard_ = watching;
        appCopyrightString_ = build::kCopyright;
        appVersionString_ = build::kVersion;
    }
    importOlderPreferences(Preferences::store(), defaultOlderPreferencesPath());
}

void AppController::applicationWillFinishLaunching() {
    MessageLog::InitLog();
    MessageLog::LogMessage("applicationWillFinishLaunching", true);
    {
        std::lock_guard lock(fieldsMutex_);
        fCurUserName = kBuiltInTestAccountName;
        fCurPassword = kBuiltInTestAccountPassword;
        fRootFolder.clear();
    }
    MessageLog::LogMessage(
        stringWithFormat("%s Version is [%s]", build::kDisplayName, getAppVersionString().c_str()));
    MessageLog::LogMessage(
        stringWithFormat("Copyright Info is [%s]", getCopyrightString().c_str()));
    // A store that did not parse leaves the factory settings in use: the user must know.
    if (std::string problem = Preferences::store().loadProblem(); !problem.empty()) {
        MessageLog::LogMessage(problem.c_str(), true);
        showError(problem);
    }

    // Empty sub-folders left in the source folder by earlier runs, two levels deep.
    deleteOldEmptySourceFolders(cleanUpContext());
    maintenanceThreads_.spawn(
        [context = cleanUpContext()] { doSetupDeleteOldPhotosThread(context); });
    maintenanceThreads_.spawn([this] { filer_.sweepAtStart(filingFolders()); });

    // The hi-res order loop: a pass now, then every prefMinutesForCheckOrders minutes.
    OrderLoop::Options orders;
    UserInterface* ui = deps_.ui;
    orders.newMaintenanceWindow = [ui] { return ui->newMaintenanceWindow(); };
    orderLoop_ = std::make_unique<OrderLoop>(*deps_.mainThread, orderThreads_, orders);
    orderLoop_->start();
}

CleanUpContext AppController::cleanUpContext() const {
    CleanUpContext context;
    context.clock = deps_.clock;
    context.isImage = IsValidImageObject;
    UserInterface* ui = deps_.ui;
    context.newMaintenanceWindow = [ui] { return ui->newMaintenanceWindow(); };
    return context;
}

void AppController::applicationDidFinishLaunching(const LaunchOptions& options) {
    MessageLog::LogMessage("applicationDidFinishLaunching");
    if (!Preferences::getAutoStartUploadAtStartup()) {
        platformLog("Will autoResynchronizeAtStartup is FALSE...");
        return;
    }
    platformLog("Will autoResynchronizeAtStartup is TRUE...");
    // What is on screen counts, not the preference: a relaunch or --background decides too.
    const bool windowShown = !options.headless && deps_.ui->mainWindowShown();
    std::chrono::milliseconds delay =
        windowShown ? std::chrono::seconds(30) : std::chrono::seconds(10);
    if (options.autoStartDelay) delay = *options.autoStartDelay;
    deps_.ui->showStartingIn(delay);  // status says "starting in N s" meanwhile
    autoStartTimer_ =
        deps_.mainThread->scheduleTimer(delay, false, [this] { ibUserClickedOnSynchronize(); });
}

bool AppController::applicationShouldTerminate() {
    VORN_TRACE(kClass, "applicationShouldTerminate");
    myPrintfDebug("applicationShouldTerminate\n");
    MessageLog::LogMessage("applicationShouldTerminate\n");
    platformLog("fDidReceiveCFStreamEventOpenCompleted is false - OK to terminate???");
    platformLog("%s => TerminateResponse is [%s]", "applicationShouldTerminate", "NSTerminateNow");
    return true;
}

void AppController::applicationWillTerminate() {
    VORN_TRACE(kClass, "applicationWillTerminate");
    myPrintfDebug("applicationWillTerminate\n");
    if (flags_.startedUploadProcess()) {
        platformLog("Telling Thread to Stop - as soon as possible");
        flags_.requestPause();
    }
    if (autoStartTimer_) autoStartTimer_->invalidate();
    stopFolderWatcher();
    if (orderLoop_) orderLoop_->stop();
    if (Preferences::getPrefDeleteEmptyFtpFolders()) {
        platformLog("\n\n SHOULD BE DELETING Empty Folders Here...\n\n");
        ibDeleteLocalFtpFolderIfEmpty(cleanUpContext());
        platformLog("\n\n SHOULD BE DONE DELETING Empty Folders By Now...\n\n");
    }
    // Values written back by the accessors since launch.
    Preferences::store().synchronize();
    MessageLog::LogMessage("applicationWillTerminate - DONE!", true);
    platformLog("%s - DONE!", "applicationWillTerminate");
    MessageLog::CloseLog();
}

std::string AppController::getMacOsVersionString() const {
    std::lock_guard lock(fieldsMutex_);
    return macVersionString_;
}
std::string AppController::getAppVersionString() const {
    std::lock_guard lock(fieldsMutex_);
    return appVersionString_;
}
std::string AppController::getCopyrightString() const {
    std::lock_guard lock(fieldsMutex_);
    return appCopyrightString_;
}

}  // namespace vorn
