#pragma once
// The application controller: owns the process flags of the upload cycle and drives it through
// named notifications; holds the pass opener and the user's entry points.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/Relaunch.h"
#include "files/CleanUp.h"
#include "files/FilingJournal.h"
#include "orders/OrderLoop.h"
#include "platform/Clock.h"
#include "platform/FileEventStream.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/WorkerThreads.h"
#include "upload/FolderScanner.h"
#include "upload/RetryBackoff.h"
#include "upload/UserInterface.h"

namespace vorn {

class PreferencesStore;

// The pauses of the cycle; tests shorten them.
struct CycleTimings {
    std::chrono::milliseconds afterNetworkError{1000};
    std::chrono::milliseconds afterHttpError{2000};
    std::chrono::milliseconds afterNoEmailAddresses{2000};
    std::chrono::milliseconds notYetWrittenPause{1000};
    std::chrono::milliseconds openFilePoll{500};
    std::chrono::milliseconds pauseWaitPoll{1000};
    // The wait of a photo after its first failed upload; it doubles with each further failure
    // up to longestRetryWait (unset: the rescan interval).
    std::chrono::milliseconds firstRetryWait{1000};
    std::optional<std::chrono::milliseconds> longestRetryWait;
};

// The built-in test account used while the preferences hold no login.
inline constexpr const char* kBuiltInTestAccountName = "vorn-test";
inline constexpr const char* kBuiltInTestAccountPassword = "vorn-test";
inline constexpr const char* kEventNamePlaceholder = "turnOnCheckBoxIfUsingThisOption";

// What the command line decides about a launch.
struct LaunchOptions {
    std::string prefsPath;  // the preferences store; empty: the default path
    std::string logDir;     // holds logs/ and the message log; empty: the default folder
    bool headless = true;   // no windows: the main window counts as not shown at start-up
    bool background = false;
    // Test switch: the auto-start delay instead of 30 s / 10 s.
    std::optional<std::chrono::milliseconds> autoStartDelay;
};

class AppController {
  public:
    // The class name log lines carry.
    static constexpr const char* kClass = "AppController";

    struct Dependencies {
        NotificationCenter* center = nullptr;
        MainThread* mainThread = nullptr;
        UserInterface* ui = nullptr;
        std::shared_ptr<Clock> clock = Clock::system();
        CycleTimings timings;
        FileEventStreamOptions watcherOptions;
        // Ends the process in order with an exit status (the shell's Quit); used by the relaunch.
        std::function<void(int exitStatus)> terminate;
        // The journal of accepted photos not yet filed; empty: in the log folder.
        std::string filingJournalPath;
        // The time the retry waits are measured in (tests pass their run loop's).
        RetryBackoff::Now monotonicNow = [] { return std::chrono::steady_clock::now(); };
    };

    explicit AppController(Dependencies deps);
    ~AppController();
    AppController(const AppController&) = delete;
    AppController& operator=(const AppController&) = delete;

    void setFolderScanner(std::shared_ptr<FolderScanner> scanner);
    // Registers the controller's notification table (before the uploader registers its own).
    void registerNotifications();
    void unregisterNotifications();

    // ---- process flags: read without the lock, written through the setters under it ----
    bool isScanning() const { return gIsScanning.load(); }
    std::int32_t needsToRescan() const { return gNeedsToRescan.load(); }
    bool startedUploadProcess() const { return gStartedUploadProcess.load(); }
    bool wantsToHaltProcess() const { return gWantsToHaltProcess.load(); }
    bool didHaltProcess() const { return gDidHaltProcess.load(); }
    bool isInsideOpenFile() const { return gInsideOpenFile.load(); }
    bool isInsideWatchFolderThread() const { return gIsInWatchFolderInstaller.load(); }

    void setIsScanningFolder(bool value);
    void setNeedsToRescan(bool value);  // true adds one, false sets 0
    void setStartedUploadProcess(bool value);
    void setWantsToHaltProcess(bool value);
    void setDidHaltProcess(bool value);
    void setIsInsideOpenFile(bool value);
    void setIsInsideWatchFolderThread(bool value);
    // Sets gInsideOpenFile when it was clear; false when it was already set.
    bool testAndSetInsideOpenFile();

    // ---- start-up and shutdown, in the order they run ----
    // Class initialisation: the log file, the preferences store with its factory defaults, the
    // deletion of old logs. Runs before the controller exists.
    static void initializeClass(const LaunchOptions& options, std::shared_ptr<Clock> clock);
    static void deleteOldLogs();
    void awakeFromNib();
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching(const LaunchOptions& options);
    bool applicationShouldTerminate();
    void applicationWillTerminate();

    std::string getMacOsVersionString() const;
    std::string getAppVersionString() const;
    std::string getCopyrightString() const;
    bool isRunningLeopard() const { return _isRunningLeopard.load(); }
    // The auto-start timer armed at launch, if any.
    TimerPtr autoStartTimer() const { return autoStartTimer_; }

    // ---- user entry points ----
    void ibUserClickedOnSynchronize();
    // The user's (or the remote) "upload now": photos waiting after a failure are tried at once.
    void uploadNow();
    void ibClickedOnSynchronizeAgain();
    void ibClickedOnHalt();
    void doHandlePauseResumeButtonAsResume();
    void forceProcessToPause();
    void doWaitForUploadProcessToEndInThread(DictionaryPtr sender);
    bool validateUserInfoBeforeUploading(const std::optional<std::string>& folder);
    bool saveLoginInfo();

    // ---- the pass opener ----
    bool applicationOpenFile(const std::string& path);
    void openFileOnMainThread();
    void startOpenerThread();

    // ---- the scan pass (runs on its own scan thread) ----
    void scanFolderOnMainThread(const Notification& note);

    // ---- login and event name ----
    void getCurrentLoginInfo();
    void getUserEnteredEventName();
    std::string currentUserName() const;
    std::string currentPassword() const;
    std::string currentEventName() const;
    std::string rootFolder() const;

    // ---- rescan timer and watcher ----
    void cancelRetriggerTimerOnMainThread();
    void doSetupRetriggerTimerOnMainThread();
    void doSetupRetriggerTimer();  // main thread
    void cancelRetriggerTimer();   // main thread
    void doAutoResynchronize();    // the timer's action, main thread
    TimerPtr getRepeatTimer() const;
    void startFolderWatcherThread(const std::string& root);
    void doWatchFolderInThread(const std::string& path);
    void stopFolderWatcher();
    bool isWatching() const;
    // Hands the application to the relauncher (or to systemd) and ends it; main thread.
    void relaunchApp(const RelaunchRequest& request);
    // Opens a pass after `after`, for a photo that was still being written.
    void scheduleSettleRetry(std::chrono::milliseconds after);
    // The checked seconds between scans: the rescan timer and the longest retry wait.
    std::chrono::milliseconds rescanInterval() const;
    // Photos waiting to be tried again after a failed upload.
    RetryBackoff& retryBackoff() { return *backoff_; }
    // The cycle could not start for want of valid settings; it looks again on every rescan
    // interval and every change of a setting.
    bool isWaitingForSettings() const { return waitingForSettings_.load(); }

    // ---- notification handlers ----
    void handleNotification_ScanFolder(const Notification& note);
    void handleNotification_PrepareUploadStart(const Notification& note);
    void handleNotification_UploadStart(const Notification& note);
    void handleNotification_UploadDone(const Notification& note);
    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);
    void handleNotification_CleanUpAfterUpload(const Notification& note);
    void handleNotification_CleanUpAfterCompleteLoop(const Notification& note);
    void handleNotification_UploadProcessPaused(const Notification& note);
    void handleNotification_WatcherStarted(const Notification& note);
    void handleNotification_WatcherItemChanged(const Notification& note);

    // What the clean-ups need: the clock, the image test, the maintenance window.
    CleanUpContext cleanUpContext() const;
    // Threads of the maintenance tasks (old-photo clean-up, hi-res orders).
    WorkerThreads& maintenanceThreads() { return maintenanceThreads_; }

    // The thread group of scan, opener and pause-wait threads.
    WorkerThreads& workerThreads() { return threads_; }
    NotificationCenter& center() { return *deps_.center; }
    UserInterface& ui() { return *deps_.ui; }
    MainThread& mainThread() { return *deps_.mainThread; }
    const Clock& clock() const { return *deps_.clock; }
    const CycleTimings& timings() const { return deps_.timings; }

  private:
    template <typename T>
    void writeFlag(std::atomic<T>& flag, T value);
    void moveItemToMirror(const Dictionary& record);
    void setItemAside(const Dictionary& record);
    // Files an accepted or rejected photo through the journal; shows a failure in red.
    void fileThroughJournal(FilingEntry entry, const std::string& where);
    // At the start of a pass: files what earlier passes could not (the move alone) and
    // answers the photos still waiting, which the scan passes over.
    std::set<std::string> retryFiling(const std::string& root, std::string* lastError);
    // Removes the temporaries of moves an earlier run left behind (once per process).
    void sweepStaleMoveTemporaries();
    void showError(const std::string& text);
    void sleepFor(std::chrono::milliseconds d) const;
    void startCycle(bool beepOnInvalidSettings);
    bool checkSettings(const std::optional<std::string>& folder, bool beep, std::string* problem);
    void waitForSettings(const std::string& problem);
    void onSettingChanged();
    void armRetryTimer();
    // Under the flag lock: a requested pause takes effect once no upload is in flight. True
    // when the cycle is held.
    bool holdIfPauseRequestedLocked(bool* newlyHeld);
    void showHeld();
    // Clears gStartedUploadProcess; a pause that was requested meanwhile takes effect. True
    // when the cycle is held.
    bool endUpload();
    bool isHeld() const;

    Dependencies deps_;
    std::shared_ptr<FolderScanner> scanner_;
    WorkerThreads threads_;
    WorkerThreads maintenanceThreads_;
    WorkerThreads orderThreads_;  // apart, so that waiting for a scan never waits for an order
    std::unique_ptr<OrderLoop> orderLoop_;

    // Process flags.
    std::unique_ptr<std::recursive_mutex> fThreadLock;
    std::atomic<bool> gIsScanning{false};
    std::atomic<std::int32_t> gNeedsToRescan{0};
    std::atomic<bool> gStartedUploadProcess{false};
    std::atomic<bool> gWantsToHaltProcess{false};
    std::atomic<bool> gDidHaltProcess{false};
    std::atomic<bool> gInsideOpenFile{false};
    std::atomic<bool> gIsInWatchFolderInstaller{false};

    std::mutex openFileMutex_;
    std::condition_variable openFileFree_;
    mutable std::mutex fieldsMutex_;
    std::string fCurUserName = kBuiltInTestAccountName;
    std::string fCurPassword = kBuiltInTestAccountPassword;
    std::string fCurEventName;
    std::string fRootFolder;
    std::string _macVersionString;
    std::string _appVersionString;
    std::string _appCopyrightString;
    std::atomic<bool> _isRunningLeopard{false};
    TimerPtr autoStartTimer_;
    TimerPtr settleRetryTimer_;
    TimerPtr fRepeatTimer;
    TimerPtr retryTimer_;
    RetryBackoff::TimePoint retryTimerDue_{};
    TimerPtr settingsTimer_;
    std::shared_ptr<RetryBackoff> backoff_;
    std::atomic<bool> waitingForSettings_{false};
    std::atomic<bool> settingsRecheckPosted_{false};
    std::shared_ptr<PreferencesStore> observedStore_;
    std::chrono::steady_clock::time_point uploadStarted_{};  // under fieldsMutex_
    std::uint64_t uploadBytes_ = 0;                          // under fieldsMutex_
    std::unique_ptr<FileEventStream> fWatcher;

    std::unique_ptr<FilingJournal> journal_;
    // Real time (file times are real): temporaries older than this are an earlier run's.
    const SystemTime startedAt_ = std::chrono::system_clock::now();
    std::once_flag staleTemporariesSwept_;
    std::mutex sentMutex_;
    std::optional<FileStamp> sent_;  // the photo in flight, as it was when its upload began
};

}  // namespace vorn
