#pragma once
// The application controller: drives the upload cycle through named notifications and holds
// the user's entry points, the pass opener and the cycle's timers. The cycle's flags and the
// state the user sees live in ProcessFlags; filing lives in PhotoFiler; the verdict on a failed
// upload in FailureRules.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/ProcessFlags.h"
#include "app/Relaunch.h"
#include "files/CleanUp.h"
#include "files/PhotoFiler.h"
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
    std::chrono::milliseconds openFilePoll{500};
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

    // The cycle's flags and the state the user sees; changed only through its transitions.
    const ProcessFlags& flags() const { return flags_; }

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
    bool isRunningLeopard() const;
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
    PhotoFiler::Folders filingFolders() const;
    // Files an accepted or set-aside photo; shows a failure in red.
    void filePhoto(const Dictionary& record, bool setAside);
    void showError(const std::string& text);
    void sleepFor(std::chrono::milliseconds d) const;
    // byUser: the user's (or the remote) start, which also ends a stop on the service's ERROR.
    void startCycle(bool beepOnInvalidSettings, bool byUser);
    bool checkSettings(const std::optional<std::string>& folder, bool beep, std::string* problem);
    void waitForSettings(const std::string& problem);
    void onSettingChanged(const std::string& key);
    void armRetryTimer();
    void showHeld();
    void showPausing();
    // The opener's work once it runs alone.
    bool openPass(const std::string& path);
    void forgetInFlight(const std::string& item);
    // The scan's checks before it walks; false when this scan must not run.
    bool beginScan();

    Dependencies deps_;
    ProcessFlags flags_;
    std::shared_ptr<FolderScanner> scanner_;
    WorkerThreads threads_;
    WorkerThreads maintenanceThreads_;
    WorkerThreads orderThreads_;  // apart, so that waiting for a scan never waits for an order
    std::unique_ptr<OrderLoop> orderLoop_;
    PhotoFiler filer_;

    mutable std::mutex fieldsMutex_;  // the fields below
    std::string fCurUserName = kBuiltInTestAccountName;
    std::string fCurPassword = kBuiltInTestAccountPassword;
    std::string fCurEventName;
    std::string fRootFolder;
    std::string macVersionString_;
    std::string appVersionString_;
    std::string appCopyrightString_;
    bool isRunningLeopard_ = false;
    TimerPtr autoStartTimer_;
    TimerPtr settleRetryTimer_;
    RetryBackoff::TimePoint settleRetryDue_{};
    TimerPtr fRepeatTimer;
    TimerPtr retryTimer_;
    RetryBackoff::TimePoint retryTimerDue_{};
    TimerPtr settingsTimer_;
    bool settingsRecheckPosted_ = false;
    std::shared_ptr<PreferencesStore> observedStore_;
    // Each photo in flight (by its path below the source folder): as it was when its upload
    // began (only that version may be filed as sent), when it began and its bytes.
    struct InFlight {
        std::optional<FileStamp> sentAs;
        std::chrono::steady_clock::time_point started{};
        std::uint64_t bytes = 0;
    };
    std::map<std::string, InFlight> inFlight_;
    mutable std::mutex watcherMutex_;
    std::unique_ptr<FileEventStream> fWatcher;  // under watcherMutex_

    std::shared_ptr<RetryBackoff> backoff_;
};

}  // namespace vorn
