#include "app/AppController.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "files/KDW_FileManager.h"
#include "log/KDLogFileManager.h"
#include "log/MessageLog.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {

namespace {
constexpr const char* kClass = "AppController";

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::string preferenceFolder(const std::optional<std::string>& value) {
    return value ? expandTildeInPath(*value) : std::string();
}

std::string trimmed(const std::string& s) {
    const char* ws = " \t\r\n\v\f";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// The folder itself with every link and "." or ".." resolved; a part that does not exist yet
// is taken as written.
std::filesystem::path resolvedFolder(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    return ec ? std::filesystem::path(path).lexically_normal() : p;
}

bool isSameOrInside(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

// A folder that is, holds or lies inside another would upload what it files (or file away
// what it has not uploaded). Answers the message that names both, or nothing.
std::optional<std::string> folderOverlap(const std::string& source, const std::string& mirror,
                                         const std::string& problem) {
    const auto s = resolvedFolder(source);
    const std::pair<const char*, std::string> others[] = {{"mirror", mirror}, {"problem", problem}};
    for (const auto& [what, folder] : others) {
        if (folder.empty()) continue;
        const auto f = resolvedFolder(folder);
        std::string text;
        if (s == f)
            text = stringWithFormat("The source folder [%s] and the %s folder [%s] are the same",
                                    source.c_str(), what, folder.c_str());
        else if (isSameOrInside(f, s))
            text = stringWithFormat("The %s folder [%s] lies inside the source folder [%s]", what,
                                    folder.c_str(), source.c_str());
        else if (isSameOrInside(s, f))
            text = stringWithFormat("The source folder [%s] lies inside the %s folder [%s]",
                                    source.c_str(), what, folder.c_str());
        if (!text.empty()) return text + ": choose folders apart from each other.";
    }
    return std::nullopt;
}

// The host part of the service address, shown after the login name.
std::string serviceDomain() {
    std::string url = Preferences::getPrefKivURL().value_or("");
    size_t start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    size_t end = url.find_first_of(":/", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
}  // namespace

AppController::AppController(Dependencies deps)
    : deps_(std::move(deps)), fThreadLock(std::make_unique<std::recursive_mutex>()) {
    std::string journal = deps_.filingJournalPath;
    if (journal.empty())
        journal = appendingPathComponent(KDLogFileManager::logDirectory(), "FilingJournal.plist");
    journal_ = std::make_unique<FilingJournal>(journal);
}

AppController::~AppController() {
    unregisterNotifications();
    stopFolderWatcher();
    if (orderLoop_) orderLoop_->stop();
    std::lock_guard lock(fieldsMutex_);
    for (const TimerPtr& t : {autoStartTimer_, settleRetryTimer_, fRepeatTimer})
        if (t) t->invalidate();
}

void AppController::setFolderScanner(std::shared_ptr<FolderScanner> scanner) {
    scanner_ = std::move(scanner);
}

void AppController::registerNotifications() {
    NotificationCenter& c = *deps_.center;
    auto add = [&](const char* name, void (AppController::*handler)(const Notification&)) {
        c.addObserver(this, name, [this, handler](const Notification& n) { (this->*handler)(n); });
    };
    add(kScanFolderNotification, &AppController::handleNotification_ScanFolder);
    add(kPrepareUploadStartNotification, &AppController::handleNotification_PrepareUploadStart);
    add(kUploadStartNotification, &AppController::handleNotification_UploadStart);
    add(kUploadDoneNotification, &AppController::handleNotification_UploadDone);
    add(kUploadSuccessNotification, &AppController::handleNotification_UploadSuccess);
    add(kUploadFailNotification, &AppController::handleNotification_UploadFail);
    add(kWatcherStarted, &AppController::handleNotification_WatcherStarted);
    add(kWatcherItemChanged, &AppController::handleNotification_WatcherItemChanged);
    add(kUploadProcessPaused, &AppController::handleNotification_UploadProcessPaused);
    add(kCleanUpAfterUploadNotification, &AppController::handleNotification_CleanUpAfterUpload);
    add(kCleanUpAfterCompleteLoop, &AppController::handleNotification_CleanUpAfterCompleteLoop);
}

void AppController::unregisterNotifications() {
    deps_.center->removeObserver(this);
}

// ---------------------------------------------------------------------------------------------
// Process flags

template <typename T>
void AppController::writeFlag(std::atomic<T>& flag, T value) {
    std::lock_guard lock(*fThreadLock);
    flag.store(value);
}

void AppController::setIsScanningFolder(bool v) {
    writeFlag(gIsScanning, v);
}
void AppController::setStartedUploadProcess(bool v) {
    writeFlag(gStartedUploadProcess, v);
}
void AppController::setWantsToHaltProcess(bool v) {
    writeFlag(gWantsToHaltProcess, v);
}
void AppController::setDidHaltProcess(bool v) {
    writeFlag(gDidHaltProcess, v);
}
void AppController::setIsInsideOpenFile(bool v) {
    {
        std::lock_guard lock(openFileMutex_);
        writeFlag(gInsideOpenFile, v);
    }
    if (!v) openFileFree_.notify_all();
}
void AppController::setIsInsideWatchFolderThread(bool v) {
    writeFlag(gIsInWatchFolderInstaller, v);
}

void AppController::setNeedsToRescan(bool value) {
    std::lock_guard lock(*fThreadLock);
    if (value)
        gNeedsToRescan.fetch_add(1);
    else
        gNeedsToRescan.store(0);
}

bool AppController::testAndSetInsideOpenFile() {
    std::lock_guard lock(*fThreadLock);
    return !gInsideOpenFile.exchange(true);
}

// ---------------------------------------------------------------------------------------------
// Login and event name

void AppController::getCurrentLoginInfo() {
    auto name = Preferences::getCurUserLoginName();
    auto password = Preferences::getCurUserLoginPassword();
    std::lock_guard lock(fieldsMutex_);
    if (name)
        fCurUserName = *name;
    else
        writeToStandardError("Using Factory default for curUserLoginName\n");
    if (password)
        fCurPassword = *password;
    else
        writeToStandardError("Using Factory default for curUserLoginPassword\n");
}

void AppController::getUserEnteredEventName() {
    auto stored = Preferences::store().stringForKey(sUserEnteredEventName);
    if (!stored) {
        platformLog("USER did NOT Enter a Valid Event/Location Name");
        return;
    }
    std::string name = trimmed(*stored);
    if (!equalsIgnoringCase(name, *stored)) {
        Preferences::store().setObject(sUserEnteredEventName, name);
        Preferences::store().synchronize();
    }
    std::lock_guard lock(fieldsMutex_);
    fCurEventName = name;
}

std::string AppController::currentUserName() const {
    std::lock_guard lock(fieldsMutex_);
    return fCurUserName;
}
std::string AppController::currentPassword() const {
    std::lock_guard lock(fieldsMutex_);
    return fCurPassword;
}
std::string AppController::currentEventName() const {
    std::lock_guard lock(fieldsMutex_);
    return fCurEventName;
}
std::string AppController::rootFolder() const {
    std::lock_guard lock(fieldsMutex_);
    return fRootFolder;
}

// ---------------------------------------------------------------------------------------------
// Entry points

bool AppController::validateUserInfoBeforeUploading(const std::optional<std::string>& folder) {
    VORN_TRACE(kClass, "validateUserInfoBeforeUploading");
    int errors = 0;

    std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    if (mirror.empty()) {
        myNSLog("Local Master Mirror Folder Has NOT Been Selected Yet...");
        ++errors;
    } else {
        mirror = expandTildeInPath(mirror);
        myNSLog("Checking for folder: [%s]", mirror.c_str());
        if (!isDirectory(mirror)) {
            myNSLog("Local Master Mirror Folder is NOT a Valid FOLDER: [%s]", mirror.c_str());
            ++errors;
        }
    }

    std::string source = folder ? *folder : Preferences::getLocalSourceUploadFolder().value_or("");
    if (source.empty()) {
        myNSLog("Local Source Upload Folder Has NOT Been Selected Yet...");
        ++errors;
    } else {
        source = expandTildeInPath(source);
        myNSLog("Checking for folder: [%s]", source.c_str());
        if (!isDirectory(source)) {
            myNSLog("Local Source Upload Folder is NOT a Valid FOLDER: [%s]", source.c_str());
            ++errors;
        }
    }

    if (errors == 0) {
        std::string problem = preferenceFolder(Preferences::getLocalProblemUploadFolder());
        if (auto clash = folderOverlap(source, mirror, problem)) {
            myNSLog("%s", clash->c_str());
            deps_.ui->ibUpdateFTPCallbackStatusTextField(*clash, true);
            ++errors;
        }
    }

    if (errors == 0) {
        getUserEnteredEventName();
        std::string event = currentEventName();
        if (event.empty() || equalsIgnoringCase(event, kEventNamePlaceholder)) {
            platformLog("Event/Location Name is NOT valid: [%s]", event.c_str());
            errors = 1;
        }
    }

    getCurrentLoginInfo();
    if (currentPassword().empty()) {
        platformLog("Login Password is EMPTY");
        ++errors;
    }
    if (currentUserName().empty()) {
        platformLog("Login Name is EMPTY");
        ++errors;
    }

    if (errors != 0) deps_.ui->beep();
    return errors == 0;
}

bool AppController::saveLoginInfo() {
    if (!validateUserInfoBeforeUploading(std::nullopt)) return false;
    getCurrentLoginInfo();
    return true;
}

void AppController::ibUserClickedOnSynchronize() {
    VORN_TRACE(kClass, "ibUserClickedOnSynchronize");
    if (startedUploadProcess()) {
        platformLog("ibUserClickedOnSynchronize - an upload process in progress...");
        deps_.ui->beep();
        deps_.ui->beep();
        return;
    }
    if (!validateUserInfoBeforeUploading(std::nullopt)) return;
    saveLoginInfo();

    std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
    if (!mirror.empty() && !exists(mirror)) {
        MessageLog::LogMessage("Local Mirror Folder Does NOT Exist:\n" + mirror);
        MessageLog::LogMessage("Trying to Create Local Mirror Folder at:\n" + mirror);
        platformLog("Local Mirror Folder Does NOT Exist: %s - trying to create it", mirror.c_str());
        ::mkdir(mirror.c_str(), 0777);
    }
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::ibClickedOnSynchronizeAgain() {
    VORN_TRACE(kClass, "ibClickedOnSynchronizeAgain");
    // A held cycle resumes whether or not its last upload is still being cleaned up: once the
    // pause has taken effect no upload is in flight, and "upload now" must not be a no-op.
    if (didHaltProcess()) {
        ibClickedOnHalt();
    } else if (!startedUploadProcess()) {
        ibUserClickedOnSynchronize();
    } else {
        platformLog("ibClickedOnSynchronizeAgain - an upload process in progress...");
    }
}

void AppController::ibClickedOnHalt() {
    MessageLog::LogMessage("ibClickedOnHalt\n");
    if (didHaltProcess()) {
        platformLog("ibClickedOnHalt gDidHaltProcess is TRUE:\n\n");
        myPrintfDebug("ibClickedOnHalt =>  gDidHaltProcess==true\n");
        setWantsToHaltProcess(false);
        setDidHaltProcess(false);
        deps_.ui->setPauseResumeButton("Pause", true);
        deps_.ui->ibUpdateFTPCallbackStatusTextField("");
        applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
        return;
    }
    platformLog("ibClickedOnHalt gDidHaltProcess is FALSE:\n\n");
    if (startedUploadProcess()) {
        setWantsToHaltProcess(true);
        deps_.ui->setPauseResumeButton("Pause", false);
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "Pausing... Waiting for Current Item to Finish...");
    } else {
        setWantsToHaltProcess(true);
        setDidHaltProcess(true);
        deps_.ui->setPauseResumeButton("Resume", true);
        deps_.ui->ibUpdateFTPCallbackStatusTextField("Process Paused...");
    }
}

void AppController::doHandlePauseResumeButtonAsResume() {
    if (!didHaltProcess()) return;
    setWantsToHaltProcess(false);
    setDidHaltProcess(false);
    deps_.ui->setPauseResumeButton("Pause", true);
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::forceProcessToPause() {
    if (startedUploadProcess() && !didHaltProcess()) setWantsToHaltProcess(true);
}

void AppController::doWaitForUploadProcessToEndInThread(DictionaryPtr sender) {
    while (!didHaltProcess()) {
        platformLog("gDidHaltProcess is STILL NO?????");
        sleepFor(deps_.timings.pauseWaitPoll);
    }
    deps_.center->post(kUploadProcessPaused, this, std::move(sender));
}

// ---------------------------------------------------------------------------------------------
// The pass opener

bool AppController::applicationOpenFile(const std::string& path) {
    VORN_TRACE(kClass, "application:openFile:");
    if (!testAndSetInsideOpenFile()) {
        platformLog("Inside %s => %s...  Another Instance is ALREADY RUNNING....", kClass,
                    "application:openFile:");
        return true;
    }
    if (path.empty() || !exists(path)) {
        setIsInsideOpenFile(false);
        platformLog("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", kClass,
                    "application:openFile:", path.c_str());
        return true;
    }
    if (startedUploadProcess()) {
        setIsInsideOpenFile(false);
        platformLog("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", kClass,
                    "application:openFile:");
        return false;
    }
    if (!validateUserInfoBeforeUploading(path)) {
        setIsInsideOpenFile(false);
        return false;
    }
    cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();
    {
        std::lock_guard lock(fieldsMutex_);
        fRootFolder = path;
    }
    std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
    deps_.center->post(kScanFolderNotification, this,
                       makeScanRequest(path, mirror, currentEventName()));

    deps_.ui->ibUpdateLoginName(currentUserName() + "." + serviceDomain());
    deps_.ui->ibUpdateUploadMainPath(path + "/");
    deps_.ui->ibUpdateSourceFolderPath(path);

    setIsInsideOpenFile(false);
    return true;
}

void AppController::openFileOnMainThread() {
    VORN_TRACE(kClass, "openFileOnMainThread");
    // Woken as soon as the running pass start is done, not a whole poll interval later.
    std::unique_lock lock(openFileMutex_);
    while (isInsideOpenFile()) {
        platformLog("Inside %s => %s... Need to Wait for OpenFile to be Free...", kClass,
                    "openFileOnMainThread");
        openFileFree_.wait_for(lock, deps_.timings.openFilePoll);
    }
    lock.unlock();
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::startOpenerThread() {
    threads_.spawn([this] { openFileOnMainThread(); });
}

// ---------------------------------------------------------------------------------------------
// The scan pass

void AppController::scanFolderOnMainThread(const Notification& note) {
    // The busy test and the setting are one step: two scans at once would upload one item twice.
    {
        std::lock_guard lock(*fThreadLock);
        if (gIsScanning.exchange(true)) {
            gNeedsToRescan.fetch_add(1);
            platformLog("\n ******** Already Started a scanning process  [%i] *******\n\n",
                        static_cast<int>(gNeedsToRescan.load()));
            return;
        }
        gNeedsToRescan.store(0);
    }
    if (startedUploadProcess()) {
        platformLog(
            "Cannot Scan Folder Yet - while an upload is still in "
            "progress!!!!!!!!!!!!!!!!!!!!!!!!!!!"
            "\n\n");
        setIsScanningFolder(false);
        return;
    }
    if (didHaltProcess()) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "Process Halted... Click Resume If You Wish To Continue...");
        setIsScanningFolder(false);
        return;
    }
    if (!note.userInfo) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "BAD Internal ERROR!!!!! No Info To Start Scan of Folder...");
        setIsScanningFolder(false);
        return;
    }

    ScanInput input;
    input.workingCopy = makeRecord(*note.userInfo);
    input.workingCopy->erase(httpError);
    const Dictionary& copy = *input.workingCopy;
    const std::string* root = stringForKey(copy, cDictKeyLocalSourceUploadFolder);
    const std::string* mirror = stringForKey(copy, cDictKeyLocalMirrorFolder);
    const std::string* event = stringForKey(copy, cDictKeyUserEnteredEventName);
    if (!root || !mirror || !event) {
        MessageLog::LogMessage("Passed Note:\n" + Value(*note.userInfo).description() + "\n\n");
        if (!root)
            MessageLog::LogMessage(
                "Unable to determine root folder to start the enumeration process...");
        else if (!mirror)
            MessageLog::LogMessage(
                "Unable to determine dest folder to start the enumeration process...");
        else
            MessageLog::LogMessage(
                "Unable to determine userEnteredEventName to start the enumeration process...");
        setIsScanningFolder(false);
        return;
    }
    input.rootFolder = *root;
    input.mirrorFolder = *mirror;
    input.eventName = *event;
    input.userName = currentUserName();
    input.password = currentPassword();
    std::string filingError;  // kept on the status line while a photo waits to be filed
    input.awaitingFiling = retryFiling(input.rootFolder, &filingError);

    ScanOutcome outcome;
    if (scanner_) {
        outcome = scanner_->chooseNextItem(input);
    } else {
        platformLog("No more images to upload...");
    }
    deps_.ui->ibUpdateFTPCallbackStatusTextField(filingError, !filingError.empty());

    switch (outcome.kind) {
        case ScanOutcome::Kind::NotYetWritten:
            sleepFor(deps_.timings.notYetWrittenPause);
            setIsScanningFolder(false);
            setNeedsToRescan(true);
            return;
        case ScanOutcome::Kind::Chosen:
            if (outcome.record) {
                deps_.center->post(kPrepareUploadStartNotification, this, outcome.record);
            } else {
                MessageLog::LogMessage(
                    "Error in creating dictionary for file upload:  fileUploadInfo is NIL...");
            }
            break;
        case ScanOutcome::Kind::NothingToUpload:
            platformLog("Scanning done - NO File found for uploading...");
            deps_.ui->ibUpdateUploadStatusTextField("Done With Iteration...");
            deps_.ui->ibUpdateFTPCallbackStatusTextField("Waiting For New Images...");
            startFolderWatcherThread(input.rootFolder);
            deps_.center->post(kCleanUpAfterCompleteLoop, this, note.userInfo);
            doSetupRetriggerTimerOnMainThread();
            if (!filingError.empty())  // after the timer's own line
                deps_.mainThread->post([this, filingError] { showError(filingError); });
            if (outcome.retryAfter) scheduleSettleRetry(*outcome.retryAfter);
            break;
    }

    // Common end.
    setIsScanningFolder(false);
    input.workingCopy->clear();
    if (needsToRescan() != 0) startOpenerThread();
}

// ---------------------------------------------------------------------------------------------
// Rescan timer and watcher (the living process fills these in)

void AppController::scheduleSettleRetry(std::chrono::milliseconds after) {
    platformLog("A photo is still being written; looking again in %lld ms",
                static_cast<long long>(after.count()));
    std::lock_guard lock(fieldsMutex_);
    if (settleRetryTimer_ && settleRetryTimer_->isValid()) return;  // one is already due
    settleRetryTimer_ =
        deps_.mainThread->scheduleTimer(after, false, [this] { startOpenerThread(); });
}

void AppController::cancelRetriggerTimerOnMainThread() {
    deps_.mainThread->post([this] { cancelRetriggerTimer(); });
}

void AppController::doSetupRetriggerTimerOnMainThread() {
    deps_.mainThread->post([this] { doSetupRetriggerTimer(); });
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
    double seconds = 120;
    if (auto stored = Preferences::getPrefSecondsBetweenScans())
        seconds = *stored;
    else
        platformLog("Failed to get NSNumber for intervalInSecs");
    // A timer of no length would fire again and again.
    if (!(seconds >= 1)) seconds = 1;
    if (seconds > 365.0 * 86400) seconds = 365.0 * 86400;
    auto interval = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
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
    if (startedUploadProcess()) {
        platformLog("Inside doAutoResynchronize - a process already in session????");
        return;
    }
    if (didHaltProcess()) {  // the timer never undoes a pause
        platformLog("Inside %s => %s...  Process is paused: nothing to do", kClass,
                    "doAutoResynchronize");
        return;
    }
    if (Preferences::getDoAutoSynchronize()) {
        platformLog("Inside %s => %s...  Okay to start upload process again...", kClass,
                    "doAutoResynchronize");
        ibClickedOnSynchronizeAgain();
    } else {
        platformLog("Inside %s => %s...  NO Need to autoResynchronize", kClass,
                    "doAutoResynchronize");
    }
}
void AppController::startFolderWatcherThread(const std::string& root) {
    if (isInsideWatchFolderThread()) return;  // one watcher per process
    threads_.spawn([this, root] { doWatchFolderInThread(root); });
}

void AppController::doWatchFolderInThread(const std::string& path) {
    platformLog("Inside THREAD *********** %s => %s...", kClass, "doWatchFolderInThread");
    {
        std::lock_guard lock(*fThreadLock);
        if (gIsInWatchFolderInstaller.exchange(true)) {
            platformLog("ALREADY inside doWatchFolderInThread     EXITING THREAD...\n\n");
            return;
        }
    }
    if (isWatching()) {
        platformLog("Returning.... fWatcherRunLoop ALREADY Setup....    EXITING THREAD...\n");
        return;
    }
    platformLog("Inside %s => %s  Trying to setup fWatcherRunLoop...", kClass,
                "doWatchFolderInThread");
    if (path.empty()) {
        platformLog("Passed NO Info to %s => %s...", kClass, "doWatchFolderInThread");
        setIsInsideWatchFolderThread(false);
        return;
    }
    if (!isRunningLeopard() || deps_.watcherOptions.unavailable) {
        MessageLog::LogMessage("====================================================", true);
        MessageLog::LogMessage("Real-time folder watching (inotify) is NOT available...", true);
        MessageLog::LogMessage("Will NOT Be Able to Watch for Folder in real time...", true);
        MessageLog::LogMessage("====================================================", true);
        return;  // the flag stays set: the rescan timer does the work
    }
    auto watcher = std::make_unique<FileEventStream>(
        path,
        [this](const std::vector<std::string>& folders) {
            for (const std::string& folder : folders)
                platformLog("=====>>>>  FOUND EVENT Inside fsevents_callback  <<<<<======= [%s]",
                            folder.c_str());
            // One pass per batch: every pass rescans the whole source folder anyway.
            deps_.center->post(kWatcherItemChanged, nullptr, nullptr);
        },
        deps_.watcherOptions,
        [this](FileEventStreamState state, const std::string& message) {
            if (state == FileEventStreamState::Watching) return;
            MessageLog::LogMessage(message.c_str(), true);
            deps_.ui->ibUpdateFTPCallbackStatusTextField(message, true);
        });
    std::string error;
    if (!watcher->start(&error)) {
        platformLog("Folder watcher NOT started for [%s]: %s; relying on the rescan timer",
                    path.c_str(), error.c_str());
        setIsInsideWatchFolderThread(false);  // a later empty pass tries again
        return;
    }
    {
        std::lock_guard lock(*fThreadLock);
        fWatcher = std::move(watcher);
    }
    deps_.center->post(kWatcherStarted, this, makeRecord({{"CFRunLoopRef", "inotify:" + path}}));
    platformLog("doInstallTheWatcher is running inside NSRunLoop = inotify:%s\n", path.c_str());
}

bool AppController::isWatching() const {
    std::lock_guard lock(*fThreadLock);
    return fWatcher && fWatcher->isRunning();
}

void AppController::stopFolderWatcher() {
    std::unique_ptr<FileEventStream> watcher;
    {
        std::lock_guard lock(*fThreadLock);
        watcher = std::move(fWatcher);
    }
    if (watcher) watcher->stop();
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

// ---------------------------------------------------------------------------------------------
// Notification handlers

void AppController::handleNotification_ScanFolder(const Notification& note) {
    threads_.spawn([this, note] { scanFolderOnMainThread(note); });
}

void AppController::handleNotification_PrepareUploadStart(const Notification& note) {
    if (startedUploadProcess()) {
        platformLog("Inside %s => %s... => An Upload Process Already in Progress...", kClass,
                    "handleNotification_PrepareUploadStart");
        return;
    }
    deps_.center->post(kUploadStartNotification, this, note.userInfo);
}

void AppController::handleNotification_UploadStart(const Notification& note) {
    setStartedUploadProcess(true);
    {
        // The version about to be sent: only that one may be filed as sent.
        const std::string* file =
            note.userInfo ? stringForKey(*note.userInfo, edFileName) : nullptr;
        std::lock_guard lock(sentMutex_);
        sent_ = file ? FileStamp::of(*file) : std::nullopt;
    }
    const std::string* item =
        note.userInfo ? stringForKey(*note.userInfo, cDictKeyCurItem) : nullptr;
    if (item)
        deps_.ui->ibUpdateFileNameField(*item);
    else
        platformLog("handleNotification_UploadStart got bad itemToMove = nil...");
    deps_.ui->ibUpdateUploadStatusTextField("Uploading...");
    UserInterface* ui = deps_.ui;
    deps_.mainThread->post([ui] { ui->ibUpdateProgressBar(true); });

    if (Preferences::getPrefShowPreviewWhenUploading() && ui->hasImageView() && note.userInfo) {
        if (const std::string* file = stringForKey(*note.userInfo, edFileName)) {
            std::string path = *file;
            deps_.mainThread->post([ui, path] { ui->showPreviewImage(path); });
        }
    }
}

void AppController::handleNotification_UploadDone(const Notification&) {
    UserInterface* ui = deps_.ui;
    deps_.mainThread->post([ui] { ui->ibUpdateProgressBar(false); });
    if (wantsToHaltProcess()) {
        setDidHaltProcess(true);
        ui->setPauseResumeButton("Resume", true);
    }
}

void AppController::moveItemToMirror(const Dictionary& record) {
    const std::string* root = stringForKey(record, cDictKeyLocalSourceUploadFolder);
    const std::string* item = stringForKey(record, cDictKeyCurItem);
    platformLog("Preparing to Move [%s]/[%s]...", root->c_str(), item->c_str());
    std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
    if (mirror.empty()) {
        platformLog("moveFileToPath2 => no mirror folder set, [%s] not moved???", item->c_str());
        return;
    }
    FilingEntry entry;
    entry.root = *root;
    entry.item = *item;
    entry.destRoot = mirror;
    fileThroughJournal(std::move(entry), "mirror folder");
}

void AppController::fileThroughJournal(FilingEntry entry, const std::string& where) {
    const std::string photo = appendingPathComponent(entry.root, entry.item);
    auto now = FileStamp::of(photo);
    std::optional<FileStamp> sent;
    {
        std::lock_guard lock(sentMutex_);
        sent = sent_;
    }
    if (!now) {
        platformLog("[%s] is gone; nothing to file", photo.c_str());
        return;
    }
    if (sent && !(*sent == *now)) {
        platformLog("[%s] was saved anew while it was sent; it stays and goes out again",
                    photo.c_str());
        return;
    }
    entry.stamp = *now;
    std::string error;
    if (!journal_->record(entry, &error))
        platformLog("Filing journal not written (%s); filing [%s] anyway", error.c_str(),
                    photo.c_str());
    FileMoveResult r = journal_->file(entry, *deps_.clock);
    if (!r)
        showError("could not file " + lastPathComponent(entry.item) + " in the " + where + ": " +
                  r.error);
}

void AppController::sweepStaleMoveTemporaries() {
    // Once per process, before its own first move: what an earlier run left half done.
    std::call_once(staleTemporariesSwept_, [this] {
        std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
        std::string problem = preferenceFolder(Preferences::getLocalProblemUploadFolder());
        for (const std::string& folder : {mirror, problem})
            if (!folder.empty()) removeStaleMoveTemporaries(folder, startedAt_);
    });
}

std::set<std::string> AppController::retryFiling(const std::string& root, std::string* lastError) {
    sweepStaleMoveTemporaries();
    for (const auto& failure : journal_->retryAll(*deps_.clock)) {
        *lastError = "could not file " + lastPathComponent(failure.entry.item) + " in the " +
                     (failure.entry.setAside ? "problem folder" : "mirror folder") + ": " +
                     failure.error;
        showError(*lastError);
    }
    return journal_->waitingItems(root);
}

namespace {
// Logs the missing keys of an outcome record; true when both are there.
bool hasItemAndRoot(const Dictionary& record, const char* method) {
    bool root = stringForKey(record, cDictKeyLocalSourceUploadFolder) != nullptr;
    bool item = stringForKey(record, cDictKeyCurItem) != nullptr;
    if (!root)
        platformLog("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder", kClass,
                    method);
    if (!item) platformLog("Inside %s => %s... PASSED BAD cDictKeyCurItem", kClass, method);
    return root && item;
}
}  // namespace

void AppController::handleNotification_UploadSuccess(const Notification& note) {
    if (!note.userInfo) {
        platformLog("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
        platformLog("Uknown Item to handle as success?????\n\n");
        deps_.center->post(kCleanUpAfterUploadNotification, this, nullptr);
        return;
    }
    if (hasItemAndRoot(*note.userInfo, "handleNotification_UploadSuccess"))
        moveItemToMirror(*note.userInfo);
    deps_.center->post(kCleanUpAfterUploadNotification, this, note.userInfo);
}

void AppController::showError(const std::string& text) {
    deps_.ui->ibUpdateFTPCallbackStatusTextField(text, true);
    deps_.ui->ibUpdateUploadStatusTextField(text);
}

void AppController::setItemAside(const Dictionary& record) {
    if (!hasItemAndRoot(record, "handleNotification_UploadFail")) return;
    const std::string& root = *stringForKey(record, cDictKeyLocalSourceUploadFolder);
    const std::string& item = *stringForKey(record, cDictKeyCurItem);
    std::string problem = preferenceFolder(Preferences::getLocalProblemUploadFolder());
    if (problem.empty()) {
        platformLog("No Problem Folder (no mirror folder set): [%s] stays in [%s]", item.c_str(),
                    root.c_str());
        return;
    }
    FilingEntry entry;
    entry.root = root;
    entry.item = item;
    entry.destRoot = problem;
    entry.setAside = true;
    fileThroughJournal(std::move(entry), "problem folder");
}

void AppController::handleNotification_UploadFail(const Notification& note) {
    deps_.ui->ibUpdateUploadStatusTextField("");
    if (!note.userInfo) {
        platformLog("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
        deps_.center->post(kCleanUpAfterUploadNotification, this, nullptr);
        return;
    }
    const Dictionary& d = *note.userInfo;
    bool stop = false;
    bool setAside = false;
    std::string message;
    if (const std::string* m = stringForKey(d, httpOurCustomMessage)) message = *m;

    if (auto err = d.find(httpError); err != d.end()) {
        showError(errorDescription(err->second));
        sleepFor(deps_.timings.afterNetworkError);
    }
    if (const std::string* status = stringForKey(d, httpOurCustomStatus)) {
        if (equalsIgnoringCase(*status, kStatusError)) {
            showError(message);
            stop = true;
        } else if (equalsIgnoringCase(*status, kStatusWarning)) {
            showError(message);
            setAside = true;
        } else if (equalsIgnoringCase(*status, kStatusOK)) {
            deps_.ui->ibUpdateFTPCallbackStatusTextField(message, false);
            deps_.ui->ibUpdateUploadStatusTextField(message);
        }
    }
    bool fileIt = setAside;
    if (auto code = d.find(httpStatusCode); code != d.end()) {
        long status = static_cast<long>(code->second.integerValue());
        if (status == 200) {
            if (equalsIgnoringCase(message, kMessageNoEmailAddressesSent)) {
                sleepFor(deps_.timings.afterNoEmailAddresses);
                fileIt = true;
            }
        } else {
            showError(stringWithFormat("HTTP Server Returned Status Code: %li", status));
            sleepFor(deps_.timings.afterHttpError);
            fileIt = true;
        }
    }
    if (fileIt) setItemAside(d);

    if (stop) {
        setStartedUploadProcess(false);
        return;
    }
    deps_.center->post(kCleanUpAfterUploadNotification, this, note.userInfo);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification& note) {
    if (note.userInfo) note.userInfo->clear();
    setStartedUploadProcess(false);
    if (didHaltProcess()) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField("Process Paused...");
        return;
    }
    startOpenerThread();
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification& note) {
    if (note.userInfo) note.userInfo->clear();
    setStartedUploadProcess(false);
}

void AppController::handleNotification_UploadProcessPaused(const Notification& note) {
    UserInterface* ui = deps_.ui;
    DictionaryPtr sender = note.userInfo;
    deps_.mainThread->post([ui, sender] { ui->doHandleOpenPrefPanel(sender); });
}

void AppController::handleNotification_WatcherStarted(const Notification& note) {
    VORN_TRACE(kClass, "handleNotification_WatcherStarted");
    const std::string* where =
        note.userInfo ? stringForKey(*note.userInfo, "CFRunLoopRef") : nullptr;
    if (where)
        platformLog("SET fWatcherRunLoop to: %s", where->c_str());
    else
        platformLog("Unable to SET fWatcherRunLoop???");
}

void AppController::handleNotification_WatcherItemChanged(const Notification&) {
    VORN_TRACE(kClass, "handleNotification_WatcherItemChanged");
    startOpenerThread();
}

void AppController::sleepFor(std::chrono::milliseconds d) const {
    if (d.count() > 0) std::this_thread::sleep_for(d);
}

}  // namespace vorn
