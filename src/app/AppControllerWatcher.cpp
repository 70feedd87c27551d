// The rescan timers and the folder watcher of the upload cycle.

#include <chrono>

#include "app/AppController.h"
#include "log/MessageLog.h"
#include "platform/Interval.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "settings/Preferences.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {

// ---------------------------------------------------------------------------------------------
// Rescan timer and watcher

void AppController::scheduleSettleRetry(std::chrono::milliseconds after) {
    platformLog("A photo is still being written; looking again in %lld ms",
                static_cast<long long>(after.count()));
    const RetryBackoff::TimePoint due = deps_.monotonicNow() + after;
    std::lock_guard lock(fieldsMutex_);
    // One look is due at a time: the earliest.
    if (settleRetryTimer_ && settleRetryTimer_->isValid() && settleRetryDue_ <= due) return;
    if (settleRetryTimer_) settleRetryTimer_->invalidate();
    settleRetryDue_ = due;
    settleRetryTimer_ =
        deps_.mainThread->scheduleTimer(after, false, [this] { startOpenerThread(); });
}

void AppController::cancelRetriggerTimerOnMainThread() {
    deps_.mainThread->post([this] { cancelRetriggerTimer(); });
}

void AppController::doSetupRetriggerTimerOnMainThread() {
    deps_.mainThread->post([this] { doSetupRetriggerTimer(); });
}

std::chrono::milliseconds AppController::rescanInterval() const {
    std::optional<double> stored = Preferences::getPrefSecondsBetweenScans();
    if (!stored) platformLog("Failed to get NSNumber for intervalInSecs");
    // At least a second (a timer of no length fires again and again), at most a year.
    return intervalFromSeconds(stored.value_or(120), 120, 1, 365.0 * 86400);
}

void AppController::armRetryTimer() {
    std::optional<std::chrono::milliseconds> left = backoff_->nextWaitEnds();
    if (!left) return;
    const RetryBackoff::TimePoint due = deps_.monotonicNow() + *left;
    std::lock_guard lock(fieldsMutex_);
    if (retryTimer_ && retryTimer_->isValid() && retryTimerDue_ <= due) return;
    if (retryTimer_) retryTimer_->invalidate();
    retryTimerDue_ = due;
    retryTimer_ = deps_.mainThread->scheduleTimer(*left, false, [this] { startOpenerThread(); });
}

TimerPtr AppController::getRepeatTimer() const {
    std::lock_guard lock(fieldsMutex_);
    return fRepeatTimer;
}

void AppController::doSetupRetriggerTimer() {
    VORN_TRACE(kClass, "doSetupRetriggerTimer");
    if (!Preferences::getDoAutoSynchronize()) {
        platformLog("Done %s => %s... [self getDoAutoSynchronize] = NO...", kClass,
                    "doSetupRetriggerTimer");
        return;
    }
    cancelRetriggerTimer();
    const std::chrono::milliseconds interval = rescanInterval();
    TimerPtr timer =
        deps_.mainThread->scheduleTimer(interval, false, [this] { doAutoResynchronize(); });
    {
        std::lock_guard lock(fieldsMutex_);
        fRepeatTimer = timer;
    }
    std::string message = "Next Auto-Synchronize Trigger Date = " +
                          formatLocalTime(deps_.clock->now() + interval, "%Y-%m-%d %H:%M:%S") +
                          "...";
    if (!isRunningLeopard())
        message += "\n(This would Not be needed if running on Mac OS 10.5 or higer)";
    platformLog("Setting up Timer => %s", message.c_str());
    deps_.ui->ibUpdateFTPCallbackStatusTextField(message);
    platformLog("Done with %s => %s...", kClass, "doSetupRetriggerTimer");
}

void AppController::cancelRetriggerTimer() {
    VORN_TRACE(kClass, "cancelRetriggerTimer");
    std::lock_guard lock(fieldsMutex_);
    if (fRepeatTimer && fRepeatTimer->isValid()) fRepeatTimer->invalidate();
    fRepeatTimer.reset();
}

void AppController::doAutoResynchronize() {
    VORN_TRACE(kClass, "doAutoResynchronize");
    if (flags_.startedUploadProcess()) {
        platformLog("Inside doAutoResynchronize - a process already in session????");
        return;
    }
    if (flags_.isHeld()) {  // the timer never undoes a pause
        platformLog("Inside %s => %s...  Process is paused: nothing to do", kClass,
                    "doAutoResynchronize");
        return;
    }
    if (Preferences::getDoAutoSynchronize()) {
        platformLog("Inside %s => %s...  Okay to start upload process again...", kClass,
                    "doAutoResynchronize");
        if (scanner_) scanner_->requestFullPass();  // what the watcher may have missed
        ibClickedOnSynchronizeAgain();
    } else {
        platformLog("Inside %s => %s...  NO Need to autoResynchronize", kClass,
                    "doAutoResynchronize");
    }
}
void AppController::startFolderWatcherThread(const std::string& root) {
    if (flags_.isInsideWatchFolderThread()) return;  // one watcher per process
    threads_.spawn([this, root] { doWatchFolderInThread(root); });
}

void AppController::doWatchFolderInThread(const std::string& path) {
    platformLog("Inside THREAD *********** %s => %s...", kClass, "doWatchFolderInThread");
    if (!flags_.enterWatchInstaller()) {
        platformLog("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n");
        return;
    }
    if (isWatching()) {
        platformLog("Returning.... fWatcherRunLoop ALREADY Setup....    EXITING THREAD...\n");
        return;
    }
    platformLog("Inside %s => %s  Trying to setup fWatcherRunLoop...", kClass,
                "doWatchFolderInThread");
    if (path.empty()) {
        platformLog("Passed NO Info to %s => %s...", kClass, "doWatchFolderInThread");
        flags_.leaveWatchInstaller();
        return;
    }
    if (!isRunningLeopard() || deps_.watcherOptions.unavailable) {
        MessageLog::LogMessage("====================================================", true);
        MessageLog::LogMessage("Real-time folder watching (inotify) is NOT available...", true);
        MessageLog::LogMessage("Will NOT Be Able to Watch for Folder in real time...", true);
        MessageLog::LogMessage("====================================================", true);
        return;  // the flag stays set: the rescan timer does the work
    }
    std::string watchedRoot = path;
    while (watchedRoot.size() > 1 && watchedRoot.back() == '/') watchedRoot.pop_back();
    auto watcher = std::make_unique<FileEventStream>(
        path,
        [this, watchedRoot](const std::vector<std::string>& folders) {
            for (const std::string& folder : folders)
                platformLog("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<======= [%s]",
                            folder.c_str());
            // One pass per batch; the scanner looks again only at the folders named.
            if (scanner_) scanner_->noteChangedFolders(watchedRoot, folders);
            deps_.center->post(kWatcherItemChanged, nullptr, nullptr);
        },
        deps_.watcherOptions,
        [this](FileEventStreamState state, const std::string& message) {
            if (scanner_) scanner_->noteWatching(state == FileEventStreamState::Watching);
            if (state == FileEventStreamState::Watching) return;
            MessageLog::LogMessage(message.c_str(), true);
            deps_.ui->ibUpdateFTPCallbackStatusTextField(message, true);
        });
    watcher->setOnFileClosed([this](const std::string& file) {
        // A photo whose writer closed it may be ready now, without the settle wait.
        if (!scanner_) return;
        scanner_->noteFileClosed(file);
        deps_.center->post(kWatcherItemChanged, nullptr, nullptr);
    });
    std::string error;
    if (!watcher->start(&error)) {
        platformLog("Folder watcher NOT started for [%s]: %s; relying on the rescan timer",
                    path.c_str(), error.c_str());
        flags_.leaveWatchInstaller();  // a later empty pass tries again
        return;
    }
    {
        std::lock_guard lock(watcherMutex_);
        if (scanner_) {
            scanner_->noteChangedFolders(watcher->root(), {});
            scanner_->noteWatching(!watcher->watchLimitReached());
        }
        fWatcher = std::move(watcher);
    }
    deps_.center->post(kWatcherStarted, this, makeRecord({{"CFRunLoopRef", "inotify:" + path}}));
    platformLog("doInstallTheWatcher is running inside NSRunLoop = inotify:%s\n", path.c_str());
}

bool AppController::isWatching() const {
    std::lock_guard lock(watcherMutex_);
    return fWatcher && fWatcher->isRunning();
}

void AppController::stopFolderWatcher() {
    std::unique_ptr<FileEventStream> watcher;
    {
        std::lock_guard lock(watcherMutex_);
        watcher = std::move(fWatcher);
    }
    if (watcher) watcher->stop();
    if (watcher && scanner_) scanner_->noteWatching(false);
}

void AppController::relaunchApp(const RelaunchRequest& request) {
    VORN_TRACE(kClass, "relaunchApp");
    auto terminate = deps_.terminate;
    if (!terminate) {
        platformLog("relaunchApp: no way to end this process; staying up");
        return;
    }
    vorn::relaunchApp(request, [terminate](int status) { terminate(status); });
}

}  // namespace vorn
