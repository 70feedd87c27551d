#include "app/AppController.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "files/KDW_FileManager.h"
#include "log/KDLogFileManager.h"
#include "log/MessageLog.h"
#include "platform/Interval.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/HttpController.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {

namespace {

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

bool isTransientStatus(long code) {
    return code == 429 || code == 502 || code == 503 || code == 504;
}

std::optional<std::chrono::milliseconds> retryAfterOf(const Dictionary& result) {
    auto response = result.find(httpResponse);
    if (response == result.end() || !response->second.asDictionary()) return std::nullopt;
    const Dictionary& r = *response->second.asDictionary();
    auto headers = r.find("allHeaderFields");
    if (headers == r.end() || !headers->second.asDictionary()) return std::nullopt;
    for (const auto& [name, value] : *headers->second.asDictionary())
        if (equalsIgnoringCase(name, "Retry-After")) return parseRetryAfter(value.stringValue());
    return std::nullopt;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::string secondsText(std::chrono::milliseconds d) {
    return stringWithFormat("%.3g s", static_cast<double>(d.count()) / 1000.0);
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
    if (!deps_.monotonicNow) deps_.monotonicNow = [] { return std::chrono::steady_clock::now(); };
    backoff_ = std::make_shared<RetryBackoff>(deps_.monotonicNow, deps_.timings.firstRetryWait);
}

AppController::~AppController() {
    unregisterNotifications();
    stopFolderWatcher();
    if (orderLoop_) orderLoop_->stop();
    std::lock_guard lock(fieldsMutex_);
    for (const TimerPtr& t :
         {autoStartTimer_, settleRetryTimer_, fRepeatTimer, retryTimer_, settingsTimer_})
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
    // A setting that changes may be the one the cycle waits for.
    std::shared_ptr<PreferencesStore> store = Preferences::sharedStore();
    store->addObserver(this, [this](const std::string&) { onSettingChanged(); });
    std::lock_guard lock(fieldsMutex_);
    observedStore_ = std::move(store);
}

void AppController::unregisterNotifications() {
    deps_.center->removeObserver(this);
    std::shared_ptr<PreferencesStore> store;
    {
        std::lock_guard lock(fieldsMutex_);
        store = std::move(observedStore_);
    }
    if (store) store->removeObserver(this);
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

bool AppController::holdIfPauseRequestedLocked(bool* newlyHeld) {
    if (gDidHaltProcess.load()) return true;
    if (!gWantsToHaltProcess.load() || gStartedUploadProcess.load()) return false;
    gDidHaltProcess.store(true);
    if (newlyHeld) *newlyHeld = true;
    return true;
}

bool AppController::isHeld() const {
    std::lock_guard lock(*fThreadLock);
    return gDidHaltProcess.load() || gWantsToHaltProcess.load();
}

void AppController::showHeld() {
    deps_.ui->setPauseResumeButton("Resume", true);
    deps_.ui->ibUpdateFTPCallbackStatusTextField("Process Paused...");
    deps_.ui->showCycleState(CycleState::Paused, "");
}

bool AppController::endUpload() {
    bool newlyHeld = false;
    bool held = false;
    {
        std::lock_guard lock(*fThreadLock);
        gStartedUploadProcess.store(false);
        held = holdIfPauseRequestedLocked(&newlyHeld);
    }
    if (newlyHeld) showHeld();
    return held;
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
    std::string problem;
    return checkSettings(folder, true, &problem);
}

bool AppController::checkSettings(const std::optional<std::string>& folder, bool beep,
                                  std::string* problem) {
    VORN_TRACE(kClass, "validateUserInfoBeforeUploading");
    int errors = 0;
    // The first problem, in words the user can act on.
    auto note = [problem](const std::string& text) {
        if (problem->empty()) *problem = text;
    };
    const std::string inPreferences = ": connect its disk or choose another folder in Preferences";

    std::string mirror = Preferences::getLocalMasterMirrorSiteFolder().value_or("");
    if (mirror.empty()) {
        myNSLog("Local Master Mirror Folder Has NOT Been Selected Yet...");
        note("No mirror folder is chosen: choose one in Preferences");
        ++errors;
    } else {
        mirror = expandTildeInPath(mirror);
        myNSLog("Checking for folder: [%s]", mirror.c_str());
        if (!isDirectory(mirror)) {
            myNSLog("Local Master Mirror Folder is NOT a Valid FOLDER: [%s]", mirror.c_str());
            note("Mirror folder " + mirror + " does not exist" + inPreferences);
            ++errors;
        }
    }

    std::string source = folder ? *folder : Preferences::getLocalSourceUploadFolder().value_or("");
    if (source.empty()) {
        myNSLog("Local Source Upload Folder Has NOT Been Selected Yet...");
        note("No source folder is chosen: choose one in Preferences");
        ++errors;
    } else {
        source = expandTildeInPath(source);
        myNSLog("Checking for folder: [%s]", source.c_str());
        if (!isDirectory(source)) {
            myNSLog("Local Source Upload Folder is NOT a Valid FOLDER: [%s]", source.c_str());
            note("Source folder " + source + " does not exist" + inPreferences);
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
            note("No event name is set: enter it in Preferences");
            errors = 1;
        }
    }

    getCurrentLoginInfo();
    if (currentPassword().empty()) {
        platformLog("Login Password is EMPTY");
        note("The login password is empty: enter it in Preferences");
        ++errors;
    }
    if (currentUserName().empty()) {
        platformLog("Login Name is EMPTY");
        note("The login name is empty: enter it in Preferences");
        ++errors;
    }

    if (errors != 0 && beep) deps_.ui->beep();
    return errors == 0;
}

void AppController::waitForSettings(const std::string& problem) {
    if (!waitingForSettings_.exchange(true))
        platformLog("The cycle waits for valid settings: %s", problem.c_str());
    showError(problem);
    deps_.ui->showCycleState(CycleState::WaitingForSettings, problem);
    // Looked at again on every rescan interval (a disk mounted later) and on every change.
    std::chrono::milliseconds interval = rescanInterval();
    std::lock_guard lock(fieldsMutex_);
    if (settingsTimer_) settingsTimer_->invalidate();
    settingsTimer_ = deps_.mainThread->scheduleTimer(interval, false, [this] {
        if (isWaitingForSettings()) startCycle(false);
    });
}

void AppController::onSettingChanged() {
    if (!isWaitingForSettings() || settingsRecheckPosted_.exchange(true)) return;
    deps_.mainThread->post([this] {
        settingsRecheckPosted_ = false;
        if (isWaitingForSettings()) startCycle(false);
    });
}

bool AppController::saveLoginInfo() {
    if (!validateUserInfoBeforeUploading(std::nullopt)) return false;
    getCurrentLoginInfo();
    return true;
}

void AppController::ibUserClickedOnSynchronize() {
    // The user's start: photos waiting after a failure go at once.
    backoff_->forgetAll();
    startCycle(true);
}

void AppController::uploadNow() {
    backoff_->forgetAll();
    ibClickedOnSynchronizeAgain();
}

void AppController::startCycle(bool beepOnInvalidSettings) {
    VORN_TRACE(kClass, "ibUserClickedOnSynchronize");
    if (startedUploadProcess()) {
        platformLog("ibUserClickedOnSynchronize - an upload process in progress...");
        deps_.ui->beep();
        deps_.ui->beep();
        return;
    }
    if (isHeld()) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "Process Halted... Click Resume If You Wish To Continue...");
        return;
    }
    std::string problem;
    // Only the first refusal beeps; the looks that follow while waiting are quiet.
    if (!checkSettings(std::nullopt, beepOnInvalidSettings && !isWaitingForSettings(), &problem)) {
        waitForSettings(problem);
        return;
    }
    getCurrentLoginInfo();

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
        startCycle(true);
    } else {
        platformLog("ibClickedOnSynchronizeAgain - an upload process in progress...");
    }
}

void AppController::ibClickedOnHalt() {
    MessageLog::LogMessage("ibClickedOnHalt\n");
    // The test of the flags and their change are one step: an upload that ends in between
    // must not let the next photo go before the pause.
    std::unique_lock lock(*fThreadLock);
    if (gDidHaltProcess.load()) {
        gWantsToHaltProcess.store(false);
        gDidHaltProcess.store(false);
        lock.unlock();
        platformLog("ibClickedOnHalt gDidHaltProcess is TRUE:\n\n");
        myPrintfDebug("ibClickedOnHalt =>  gDidHaltProcess==true\n");
        deps_.ui->setPauseResumeButton("Pause", true);
        deps_.ui->ibUpdateFTPCallbackStatusTextField("");
        applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
        return;
    }
    const bool uploading = gStartedUploadProcess.load();
    gWantsToHaltProcess.store(true);
    if (!uploading) gDidHaltProcess.store(true);
    lock.unlock();
    platformLog("ibClickedOnHalt gDidHaltProcess is FALSE:\n\n");
    if (uploading) {
        deps_.ui->setPauseResumeButton("Pause", false);
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "Pausing... Waiting for Current Item to Finish...");
    } else {
        showHeld();
    }
}

void AppController::doHandlePauseResumeButtonAsResume() {
    {
        std::lock_guard lock(*fThreadLock);
        if (!gDidHaltProcess.load()) return;
        gWantsToHaltProcess.store(false);
        gDidHaltProcess.store(false);
    }
    deps_.ui->setPauseResumeButton("Pause", true);
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::forceProcessToPause() {
    // While idle the hold is set at once: a photo dropped in afterwards must wait for Resume.
    bool heldNow = false;
    {
        std::lock_guard lock(*fThreadLock);
        if (gDidHaltProcess.load()) return;
        gWantsToHaltProcess.store(true);
        if (!gStartedUploadProcess.load()) {
            gDidHaltProcess.store(true);
            heldNow = true;
        }
    }
    if (heldNow) showHeld();
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
    if (isHeld()) {
        setIsInsideOpenFile(false);
        platformLog("Inside %s => %s...  The cycle is paused....", kClass, "application:openFile:");
        deps_.ui->ibUpdateFTPCallbackStatusTextField(
            "Process Halted... Click Resume If You Wish To Continue...");
        return false;
    }
    if (path.empty() || !exists(path)) {
        setIsInsideOpenFile(false);
        platformLog("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", kClass,
                    "application:openFile:", path.c_str());
        waitForSettings(path.empty() ? "No source folder is chosen: choose one in Preferences"
                                     : "Source folder " + path +
                                           " does not exist: connect its disk or choose another "
                                           "folder in Preferences");
        return true;
    }
    if (startedUploadProcess()) {
        setIsInsideOpenFile(false);
        platformLog("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", kClass,
                    "application:openFile:");
        return false;
    }
    std::string problem;
    if (!checkSettings(path, !isWaitingForSettings(), &problem)) {
        setIsInsideOpenFile(false);
        waitForSettings(problem);
        return false;
    }
    if (waitingForSettings_.exchange(false)) platformLog("The settings hold again");
    {
        std::lock_guard lock(fieldsMutex_);
        if (settingsTimer_) settingsTimer_->invalidate();
    }
    cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();
    {
        std::lock_guard lock(fieldsMutex_);
        fRootFolder = path;
    }
    std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
    deps_.ui->showCycleState(CycleState::Scanning, "");
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
    bool newlyHeld = false;
    bool held = false;
    {
        std::lock_guard lock(*fThreadLock);
        held = holdIfPauseRequestedLocked(&newlyHeld);
    }
    if (held) {
        if (newlyHeld) showHeld();
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
    input.isWaitingToRetry = [backoff = backoff_](const std::string& path) {
        return backoff->isWaiting(path);
    };

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
            armRetryTimer();
            deps_.ui->showCycleState(CycleState::Idle, "");
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
    if (startedUploadProcess()) {
        platformLog("Inside doAutoResynchronize - a process already in session????");
        return;
    }
    if (isHeld()) {  // the timer never undoes a pause
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
        setIsInsideWatchFolderThread(false);  // a later empty pass tries again
        return;
    }
    {
        std::lock_guard lock(*fThreadLock);
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

// ---------------------------------------------------------------------------------------------
// Notification handlers

void AppController::handleNotification_ScanFolder(const Notification& note) {
    threads_.spawn([this, note] { scanFolderOnMainThread(note); });
}

void AppController::handleNotification_PrepareUploadStart(const Notification& note) {
    // One step under the lock: no upload starts once a pause is requested or held.
    bool busy = false, held = false, newlyHeld = false;
    {
        std::lock_guard lock(*fThreadLock);
        if (gStartedUploadProcess.load())
            busy = true;
        else if (holdIfPauseRequestedLocked(&newlyHeld))
            held = true;
        else
            gStartedUploadProcess.store(true);
    }
    if (busy) {
        platformLog("Inside %s => %s... => An Upload Process Already in Progress...", kClass,
                    "handleNotification_PrepareUploadStart");
        return;
    }
    if (held) {
        if (newlyHeld) showHeld();
        platformLog("The cycle is paused: the photo stays for after Resume");
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
    {
        std::uint64_t bytes = 0;
        if (const std::string* file =
                note.userInfo ? stringForKey(*note.userInfo, edFileName) : nullptr) {
            bytes = fileSize(*file);
            if (Preferences::store().boolForKey(sPrefUploadMovie))
                bytes += fileSize(deletingPathExtension(*file) + ".mov");
        }
        std::lock_guard lock(fieldsMutex_);
        uploadStarted_ = std::chrono::steady_clock::now();
        uploadBytes_ = bytes;
    }
    deps_.ui->showCycleState(CycleState::Uploading, item ? *item : "");
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
    bool held = false;
    {
        std::lock_guard lock(*fThreadLock);
        if (gWantsToHaltProcess.load()) {
            gDidHaltProcess.store(true);
            held = true;
        }
    }
    if (held) ui->setPauseResumeButton("Resume", true);
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
        platformLog("Inside %s => %s... PASSED BAD cDictKeyLocalSourceUploadFolder",
                    AppController::kClass, method);
    if (!item)
        platformLog("Inside %s => %s... PASSED BAD cDictKeyCurItem", AppController::kClass, method);
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
    if (const std::string* file = stringForKey(*note.userInfo, edFileName)) {
        backoff_->forget(*file);
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::Uploaded;
        if (const std::string* item = stringForKey(*note.userInfo, cDictKeyCurItem))
            outcome.name = *item;
        {
            std::lock_guard lock(fieldsMutex_);
            outcome.bytes = uploadBytes_;
            outcome.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - uploadStarted_)
                    .count();
        }
        deps_.ui->showUploadOutcome(outcome);
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
    std::optional<long> code;
    if (auto c = d.find(httpStatusCode); c != d.end())
        code = static_cast<long>(c->second.integerValue());
    const bool transientCode = code && isTransientStatus(*code);
    // Set when the photo stays in the source folder and is tried again after its wait.
    std::optional<std::string> retryReason;
    std::optional<std::chrono::milliseconds> retryHint;

    if (auto err = d.find(httpError); err != d.end()) {
        std::string description = errorDescription(err->second);
        // A photo that changed while it was sent is a new photo: it goes once it has settled,
        // without a wait. A cancelled upload is the quit's.
        if (description == kCannotReadFileError) {
            const std::string* item = stringForKey(d, cDictKeyCurItem);
            retryReason = "could not read " + (item ? *item : std::string("the photo"));
        } else if (description != kUploadCancelledError && description != kFileChangedError) {
            std::string host = serviceDomain();
            retryReason =
                "no reply from " + (host.empty() ? "the service" : host) + ": " + description;
        }
    }
    if (const std::string* status = stringForKey(d, httpOurCustomStatus)) {
        if (equalsIgnoringCase(*status, kStatusError)) {
            showError(message);
            stop = true;
        } else if (equalsIgnoringCase(*status, kStatusWarning)) {
            showError(message);
            setAside = true;
        } else if (equalsIgnoringCase(*status, kStatusOK)) {
            // An OK under a failing status code is no success and is not shown as one.
            if (!code || *code == 200) {
                deps_.ui->ibUpdateFTPCallbackStatusTextField(message, false);
                deps_.ui->ibUpdateUploadStatusTextField(message);
            }
        } else if (equalsIgnoringCase(*status, kStatusFail) && !retryReason &&
                   (!code || *code == 200) &&
                   !equalsIgnoringCase(message, kMessageNoEmailAddressesSent)) {
            auto unreadable = d.find(httpReplyUnreadable);
            retryReason = unreadable != d.end() && unreadable->second.boolValue()
                              ? std::string("unreadable reply")
                              : "service answered FAIL: " + message;
        }
    }
    bool fileIt = setAside;
    if (code) {
        if (*code == 200) {
            if (equalsIgnoringCase(message, kMessageNoEmailAddressesSent)) {
                sleepFor(deps_.timings.afterNoEmailAddresses);
                fileIt = true;
            }
        } else if (transientCode) {
            // A passing outage: the photo stays and is tried again.
            retryReason = stringWithFormat("HTTP Server Returned Status Code: %li", *code);
            retryHint = retryAfterOf(d);
            fileIt = false;
        } else {
            showError(stringWithFormat("HTTP Server Returned Status Code: %li", *code));
            sleepFor(deps_.timings.afterHttpError);
            fileIt = true;
        }
    }
    const std::string* item = stringForKey(d, cDictKeyCurItem);
    const std::string* file = stringForKey(d, edFileName);
    if (fileIt) {
        setItemAside(d);
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::SetAside;
        outcome.name = item ? *item : "";
        outcome.reason = code && *code != 200
                             ? stringWithFormat("HTTP Server Returned Status Code: %li", *code)
                             : message;
        deps_.ui->showUploadOutcome(outcome);
        if (file && exists(*file) && !retryReason)
            retryReason = "could not set " + outcome.name + " aside";  // never sent again at once
    }

    if (stop) {
        endUpload();
        deps_.ui->showCycleState(CycleState::Error, message);
        return;
    }
    if (retryReason && file) {
        std::chrono::milliseconds longest =
            deps_.timings.longestRetryWait.value_or(rescanInterval());
        std::chrono::milliseconds wait = backoff_->recordFailure(*file, longest, retryHint);
        platformLog("Upload of [%s] failed (%s); trying again in %s",
                    item ? item->c_str() : file->c_str(), retryReason->c_str(),
                    secondsText(wait).c_str());
        if (!fileIt) showError(*retryReason);
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::WillRetry;
        outcome.name = item ? *item : *file;
        outcome.reason = *retryReason;
        outcome.retryIn = wait;
        deps_.ui->showUploadOutcome(outcome);
        armRetryTimer();
    }
    deps_.center->post(kCleanUpAfterUploadNotification, this, note.userInfo);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification& note) {
    if (note.userInfo) note.userInfo->clear();
    if (endUpload()) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField("Process Paused...");
        deps_.ui->showCycleState(CycleState::Paused, "");
        return;
    }
    startOpenerThread();
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification& note) {
    if (note.userInfo) note.userInfo->clear();
    endUpload();
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
