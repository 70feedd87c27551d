#include "app/AppController.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "app/SettingsCheck.h"
#include "log/KDLogFileManager.h"
#include "log/MessageLog.h"
#include "platform/Interval.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/FailureRules.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"
#include "upload/SentVersion.h"

namespace vorn {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::string preferenceFolder(const std::optional<std::string>& value) {
    return value ? expandTildeInPath(*value) : std::string();
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

std::string journalPathOr(const std::string& path) {
    return path.empty()
               ? appendingPathComponent(KDLogFileManager::logDirectory(), "FilingJournal.plist")
               : path;
}

std::string itemOf(const Dictionary* record) {
    const std::string* item = record ? stringForKey(*record, cDictKeyCurItem) : nullptr;
    return item ? *item : std::string();
}
}  // namespace

AppController::AppController(Dependencies deps)
    : deps_(std::move(deps)),
      flags_([ui = deps_.ui](CycleState state, const std::string& reason) {
          ui->showCycleState(state, reason);
      }),
      filer_({journalPathOr(deps_.filingJournalPath), deps_.clock}) {
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
    store->addObserver(this, [this](const std::string& key) { onSettingChanged(key); });
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

bool AppController::isRunningLeopard() const {
    std::lock_guard lock(fieldsMutex_);
    return isRunningLeopard_;
}

void AppController::showHeld() {
    deps_.ui->setPauseResumeButton("Resume", true);
    deps_.ui->ibUpdateFTPCallbackStatusTextField("Process Paused...");
}

void AppController::showPausing() {
    deps_.ui->setPauseResumeButton("Pause", false);
    deps_.ui->ibUpdateFTPCallbackStatusTextField(
        "Pausing... Waiting for Current Item to Finish...");
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
    const SettingsCheck check = checkCycleSettings(folder, currentUserName(), currentPassword());
    {
        std::lock_guard lock(fieldsMutex_);
        if (check.eventName) fCurEventName = *check.eventName;
        fCurUserName = check.userName;
        fCurPassword = check.password;
    }
    if (check.overlap) deps_.ui->ibUpdateFTPCallbackStatusTextField(*check.overlap, true);
    *problem = check.problem;
    if (!check.ok() && beep) deps_.ui->beep();
    return check.ok();
}

void AppController::waitForSettings(const std::string& problem) {
    if (flags_.waitForSettings(problem))
        logAt(LogLevel::Warn, "The cycle waits for valid settings: %s", problem.c_str());
    showError(problem);
    // Looked at again on every rescan interval (a disk mounted later) and on every change.
    std::chrono::milliseconds interval = rescanInterval();
    std::lock_guard lock(fieldsMutex_);
    if (settingsTimer_) settingsTimer_->invalidate();
    settingsTimer_ = deps_.mainThread->scheduleTimer(interval, false, [this] {
        if (flags_.isWaitingForSettings()) startCycle(false, false);
    });
}

void AppController::onSettingChanged(const std::string& key) {
    // A new account, address or event is the user's answer to the service's ERROR; values the
    // accessors write back on their own are not.
    const bool answersError = key == sUserLoginName || key == sUserLoginPassword ||
                              key == sPrefKivURL || key == sUserEnteredEventName;
    const bool errorHeld = answersError && flags_.isStoppedOnError();
    if (!flags_.isWaitingForSettings() && !errorHeld) return;
    {
        std::lock_guard lock(fieldsMutex_);
        if (settingsRecheckPosted_) return;
        settingsRecheckPosted_ = true;
    }
    deps_.mainThread->post([this, errorHeld] {
        {
            std::lock_guard lock(fieldsMutex_);
            settingsRecheckPosted_ = false;
        }
        if (errorHeld) flags_.clearErrorHold();
        if (!flags_.isHeld() || flags_.isWaitingForSettings()) startCycle(false, false);
    });
}

bool AppController::saveLoginInfo() {
    if (!validateUserInfoBeforeUploading(std::nullopt)) return false;
    getCurrentLoginInfo();
    deps_.ui->preferencesSaved();  // locks and closes the panel
    return true;
}

void AppController::ibUserClickedOnSynchronize() {
    // The user's start: photos waiting after a failure go at once.
    backoff_->forgetAll();
    startCycle(true, true);
}

void AppController::uploadNow() {
    backoff_->forgetAll();
    flags_.clearErrorHold();
    ibClickedOnSynchronizeAgain();
}

void AppController::startCycle(bool beepOnInvalidSettings, bool byUser) {
    VORN_TRACE(kClass, "ibUserClickedOnSynchronize");
    if (flags_.startedUploadProcess()) {
        platformLog("ibUserClickedOnSynchronize - an upload process in progress...");
        deps_.ui->beep();
        deps_.ui->beep();
        return;
    }
    if (byUser) flags_.clearErrorHold();
    if (flags_.isHeld()) {
        if (!flags_.isStoppedOnError())
            deps_.ui->ibUpdateFTPCallbackStatusTextField(
                "Process Halted... Click Resume If You Wish To Continue...");
        return;
    }
    std::string problem;
    // Only the first refusal beeps; the looks that follow while waiting are quiet.
    if (!checkSettings(std::nullopt, beepOnInvalidSettings && !flags_.isWaitingForSettings(),
                       &problem)) {
        waitForSettings(problem);
        return;
    }
    // The user's start takes the settings as the panel's Save and Close does.
    if (byUser)
        saveLoginInfo();
    else
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
    if (flags_.didHaltProcess()) {
        ibClickedOnHalt();
    } else if (!flags_.startedUploadProcess()) {
        startCycle(true, false);
    } else {
        platformLog("ibClickedOnSynchronizeAgain - an upload process in progress...");
    }
}

void AppController::ibClickedOnHalt() {
    MessageLog::LogMessage("ibClickedOnHalt\n");
    if (flags_.didHaltProcess() || flags_.isStoppedOnError()) {
        doHandlePauseResumeButtonAsResume();
        return;
    }
    // The button says so while the photo in flight is still going out.
    if (flags_.requestPause() == ProcessFlags::PauseResult::Pausing)
        showPausing();
    else
        showHeld();
}

void AppController::doHandlePauseResumeButtonAsResume() {
    // A pause asked for but not yet in effect is taken back too: the button is Pause again.
    const bool pending = flags_.wantsToHaltProcess() && !flags_.didHaltProcess();
    if (!flags_.resume()) {
        if (pending) {
            deps_.ui->setPauseResumeButton("Pause", true);
            deps_.ui->ibUpdateFTPCallbackStatusTextField("");
        }
        return;
    }
    platformLog("The cycle resumes");
    deps_.ui->setPauseResumeButton("Pause", true);
    deps_.ui->ibUpdateFTPCallbackStatusTextField("");
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::forceProcessToPause() {
    // While idle the hold is set at once: a photo dropped in afterwards must wait for Resume;
    // during uploads the button waits, greyed, as it does for the user's own Pause.
    const ProcessFlags::PauseResult result = flags_.requestPause();
    if (result == ProcessFlags::PauseResult::HeldNow) showHeld();
    if (result == ProcessFlags::PauseResult::Pausing)
        deps_.ui->setPauseResumeButton("Pause", false);
}

void AppController::doWaitForUploadProcessToEndInThread(DictionaryPtr sender) {
    // Woken by the change itself; a resume that comes first ends the wait too.
    if (!flags_.waitUntilPaused()) {
        platformLog("The pause was taken back before it took effect");
        return;
    }
    deps_.center->post(kUploadProcessPaused, this, std::move(sender));
}

// ---------------------------------------------------------------------------------------------
// The pass opener

bool AppController::applicationOpenFile(const std::string& path) {
    VORN_TRACE(kClass, "application:openFile:");
    if (flags_.enterOpener() == ProcessFlags::OpenerEntry::OtherOpenerRunning) {
        platformLog("Inside %s => %s...  Another Instance is ALREADY RUNNING....", kClass,
                    "application:openFile:");
        return true;
    }
    const bool opened = openPass(path);
    flags_.leaveOpener();
    return opened;
}

bool AppController::openPass(const std::string& path) {
    if (flags_.isHeld()) {
        platformLog("Inside %s => %s...  The cycle is paused....", kClass, "application:openFile:");
        if (!flags_.isStoppedOnError())
            deps_.ui->ibUpdateFTPCallbackStatusTextField(
                "Process Halted... Click Resume If You Wish To Continue...");
        return false;
    }
    if (path.empty() || !exists(path)) {
        platformLog("Inside %s => %s...  Source Path/Item Does NOT Exist = [%s]....", kClass,
                    "application:openFile:", path.c_str());
        waitForSettings(path.empty() ? "No source folder is chosen: choose one in Preferences"
                                     : "Source folder " + path +
                                           " does not exist: connect its disk or choose another "
                                           "folder in Preferences");
        return true;
    }
    if (flags_.uploadsInFlight() >= Preferences::getConcurrentUploads()) {
        platformLog("Inside %s => %s...  An UPLOAD Process Is Still In Progress....", kClass,
                    "application:openFile:");
        return false;
    }
    std::string problem;
    if (!checkSettings(path, !flags_.isWaitingForSettings(), &problem)) {
        waitForSettings(problem);
        return false;
    }
    if (flags_.settingsHoldAgain()) platformLog("The settings hold again");
    {
        std::lock_guard lock(fieldsMutex_);
        if (settingsTimer_) settingsTimer_->invalidate();
        fRootFolder = path;
    }
    cancelRetriggerTimerOnMainThread();
    getCurrentLoginInfo();
    getUserEnteredEventName();
    std::string mirror = preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder());
    flags_.passOpened();
    deps_.center->post(kScanFolderNotification, this,
                       makeScanRequest(path, mirror, currentEventName()));

    deps_.ui->bringMainWindowForward();
    deps_.ui->ibUpdateLoginName(currentUserName() + "." + serviceDomain());
    deps_.ui->ibUpdateUploadMainPath(path + "/");
    deps_.ui->ibUpdateSourceFolderPath(path);
    return true;
}

void AppController::openFileOnMainThread() {
    VORN_TRACE(kClass, "openFileOnMainThread");
    // Woken as soon as the running pass start is done, not a whole poll interval later.
    flags_.waitForOpenerFree(deps_.timings.openFilePoll, [] {
        platformLog("Inside %s => %s... Need to Wait for OpenFile to be Free...", kClass,
                    "openFileOnMainThread");
    });
    applicationOpenFile(preferenceFolder(Preferences::getLocalSourceUploadFolder()));
}

void AppController::startOpenerThread() {
    threads_.spawn([this] { openFileOnMainThread(); });
}

// ---------------------------------------------------------------------------------------------
// The scan pass

bool AppController::beginScan() {
    // The busy test and the setting are one step: two scans at once would upload one item twice.
    switch (flags_.beginScan(Preferences::getConcurrentUploads())) {
        case ProcessFlags::ScanStart::Started:
            return true;
        case ProcessFlags::ScanStart::AlreadyScanning:
            platformLog("\n ******** Already Started a scanning process  [%i] *******\n\n",
                        static_cast<int>(flags_.needsToRescan()));
            return false;
        case ProcessFlags::ScanStart::UploadInFlight:
            platformLog("Cannot Scan Folder Yet - while an upload is still in progress");
            return false;
        case ProcessFlags::ScanStart::Held:
            if (flags_.didHaltProcess()) {
                showHeld();
                deps_.ui->ibUpdateFTPCallbackStatusTextField(
                    "Process Halted... Click Resume If You Wish To Continue...");
            }
            return false;
    }
    return false;
}

void AppController::scanFolderOnMainThread(const Notification& note) {
    if (!beginScan()) return;
    ScanInput input;
    if (note.userInfo) input.workingCopy = makeRecord(*note.userInfo);
    const Dictionary* copy = input.workingCopy.get();
    const std::string* root = copy ? stringForKey(*copy, cDictKeyLocalSourceUploadFolder) : nullptr;
    const std::string* mirror = copy ? stringForKey(*copy, cDictKeyLocalMirrorFolder) : nullptr;
    const std::string* event = copy ? stringForKey(*copy, cDictKeyUserEnteredEventName) : nullptr;
    if (!root || !mirror || !event) {
        if (!copy) {
            deps_.ui->ibUpdateFTPCallbackStatusTextField(
                "BAD Internal ERROR!!!!! No Info To Start Scan of Folder...");
        } else {
            MessageLog::LogMessage("Passed Note:\n" + Value(*copy).description() + "\n\n");
            MessageLog::LogMessage(std::string("Unable to determine ") +
                                   (!root     ? "root folder"
                                    : !mirror ? "dest folder"
                                              : "userEnteredEventName") +
                                   " to start the enumeration process...");
        }
        flags_.endScan(true);
        return;
    }
    input.workingCopy->erase(httpError);
    input.rootFolder = *root;
    input.mirrorFolder = *mirror;
    input.eventName = *event;
    input.userName = currentUserName();
    input.password = currentPassword();
    PhotoFiler::Pending pending = filer_.retryPending(input.rootFolder, filingFolders());
    for (const std::string& error : pending.errors) showError(error);
    // Kept on the status line while a photo waits to be filed.
    const std::string filingError = pending.errors.empty() ? "" : pending.errors.back();
    input.awaitingFiling = std::move(pending.waiting);
    for (const std::string& item : flags_.namesInFlight()) input.awaitingFiling.insert(item);
    input.isWaitingToRetry = [backoff = backoff_](const std::string& path) {
        return backoff->isWaiting(path);
    };

    ScanOutcome outcome;
    if (scanner_)
        outcome = scanner_->chooseNextItem(input);
    else
        platformLog("No more images to upload...");
    deps_.ui->ibUpdateFTPCallbackStatusTextField(filingError, !filingError.empty());

    switch (outcome.kind) {
        case ScanOutcome::Kind::NotYetWritten:
            // Looked at again when a look can prove it written, not in a loop.
            if (outcome.retryAfter) scheduleSettleRetry(*outcome.retryAfter);
            flags_.endScan(true);
            return;
        case ScanOutcome::Kind::Chosen:
            if (outcome.record)
                deps_.center->post(kPrepareUploadStartNotification, this, outcome.record);
            else
                MessageLog::LogMessage(
                    "Error in creating dictionary for file upload:  fileUploadInfo is NIL...");
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
            break;
    }

    // Common end.
    input.workingCopy->clear();
    if (flags_.endScan(outcome.kind == ScanOutcome::Kind::NothingToUpload)) startOpenerThread();
}

// ---------------------------------------------------------------------------------------------
// Notification handlers

void AppController::handleNotification_ScanFolder(const Notification& note) {
    threads_.spawn([this, note] { scanFolderOnMainThread(note); });
}

void AppController::handleNotification_PrepareUploadStart(const Notification& note) {
    // One step under the flags' lock: no upload starts once a pause is requested or held.
    const int limit = Preferences::getConcurrentUploads();
    switch (flags_.beginUpload(itemOf(note.userInfo.get()), limit)) {
        case ProcessFlags::UploadStart::Busy:
            platformLog("Inside %s => %s... => An Upload Process Already in Progress...", kClass,
                        "handleNotification_PrepareUploadStart");
            return;
        case ProcessFlags::UploadStart::Held:
            platformLog("The cycle is held: the photo stays for after Resume");
            return;
        case ProcessFlags::UploadStart::Started:
            break;
    }
    if (limit == 1) {
        // One at a time: the upload runs on the scan thread, as it always did.
        deps_.center->post(kUploadStartNotification, this, note.userInfo);
        return;
    }
    // More may go at once: this one on a thread of its own, and the scan that chose it ends
    // owing a pass that looks for the next.
    flags_.noteRescanNeeded();
    threads_.spawn([this, record = note.userInfo] {
        deps_.center->post(kUploadStartNotification, this, record);
    });
}

// The upload itself was counted in by PrepareUploadStart, in the same step as its tests.
void AppController::handleNotification_UploadStart(const Notification& note) {
    const std::string* file = note.userInfo ? stringForKey(*note.userInfo, edFileName) : nullptr;
    std::uint64_t bytes = 0;
    if (file) {
        bytes = fileSize(*file);
        if (Preferences::store().boolForKey(sPrefUploadMovie))
            bytes += fileSize(deletingPathExtension(*file) + ".mov");
    }
    const std::string item = itemOf(note.userInfo.get());
    {
        std::lock_guard lock(fieldsMutex_);
        // The version about to be sent: only that one may be filed as sent.
        inFlight_[item] = {file ? FileStamp::of(*file) : std::nullopt,
                           std::chrono::steady_clock::now(), bytes};
    }
    if (!item.empty())
        deps_.ui->ibUpdateFileNameField(item);
    else
        platformLog("handleNotification_UploadStart got bad itemToMove = nil...");
    deps_.ui->ibUpdateUploadStatusTextField("Uploading...");
    UserInterface* ui = deps_.ui;
    deps_.mainThread->post([ui] { ui->ibUpdateProgressBar(true); });

    if (file && Preferences::getPrefShowPreviewWhenUploading() && ui->hasImageView())
        deps_.mainThread->post([ui, path = *file] { ui->showPreviewImage(path); });
}

// A pause asked for during the upload holds once the photo is filed (endUpload): the panel
// that a pause may open can change the folders the photo is filed into.
void AppController::handleNotification_UploadDone(const Notification&) {
    UserInterface* ui = deps_.ui;
    deps_.mainThread->post([ui] { ui->ibUpdateProgressBar(false); });
}

PhotoFiler::Folders AppController::filingFolders() const {
    return {preferenceFolder(Preferences::getLocalMasterMirrorSiteFolder()),
            preferenceFolder(Preferences::getLocalProblemUploadFolder())};
}

void AppController::filePhoto(const Dictionary& record, bool setAside) {
    PhotoFiler::Photo photo;
    photo.root = *stringForKey(record, cDictKeyLocalSourceUploadFolder);
    photo.item = *stringForKey(record, cDictKeyCurItem);
    {
        std::lock_guard lock(fieldsMutex_);
        if (auto it = inFlight_.find(photo.item); it != inFlight_.end())
            photo.sentAs = it->second.sentAs;
    }
    // The bytes decide: a photo only touched while it went out (its date set from the capture
    // date) is the photo sent; the uploader's checksum of what it sent tells.
    if (std::optional<SentVersion> sent = sentVersionOf(record)) {
        const std::string path = appendingPathComponent(photo.root, photo.item);
        photo.sentAs = sameContentAsSent(path, *sent) ? FileStamp::of(path) : sent->stamp;
    }
    const PhotoFiler::Result r = setAside ? filer_.fileSetAside(photo, filingFolders())
                                          : filer_.fileAccepted(photo, filingFolders());
    if (r.kind == PhotoFiler::Result::Kind::Failed ||
        r.kind == PhotoFiler::Result::Kind::FiledSourceLeft)
        showError(r.error);
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
        outcome.name = itemOf(note.userInfo.get());
        {
            std::lock_guard lock(fieldsMutex_);
            if (auto it = inFlight_.find(outcome.name); it != inFlight_.end()) {
                outcome.bytes = it->second.bytes;
                outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                                it->second.started)
                                      .count();
            }
        }
        deps_.ui->showUploadOutcome(outcome);
    }
    if (hasItemAndRoot(*note.userInfo, "handleNotification_UploadSuccess"))
        filePhoto(*note.userInfo, false);
    deps_.center->post(kCleanUpAfterUploadNotification, this, note.userInfo);
}

void AppController::showError(const std::string& text) {
    deps_.ui->ibUpdateFTPCallbackStatusTextField(text, true);
    deps_.ui->ibUpdateUploadStatusTextField(text);
}

void AppController::handleNotification_UploadFail(const Notification& note) {
    deps_.ui->ibUpdateUploadStatusTextField("");
    if (!note.userInfo) {
        platformLog("Unknown Class Type Found: [%s] with the info:\n", note.name.c_str());
        deps_.center->post(kCleanUpAfterUploadNotification, this, nullptr);
        return;
    }
    const Dictionary& d = *note.userInfo;
    FailureVerdict verdict = judgeFailedUpload(d, serviceDomain());
    for (const std::string& error : verdict.errorsShown) showError(error);
    if (verdict.noteShown) {
        deps_.ui->ibUpdateFTPCallbackStatusTextField(*verdict.noteShown, false);
        deps_.ui->ibUpdateUploadStatusTextField(*verdict.noteShown);
    }
    if (verdict.pause == FailureVerdict::Pause::AfterNoEmailAddresses)
        sleepFor(deps_.timings.afterNoEmailAddresses);
    else if (verdict.pause == FailureVerdict::Pause::AfterHttpError)
        sleepFor(deps_.timings.afterHttpError);

    const std::string item = itemOf(&d);
    const std::string* file = stringForKey(d, edFileName);
    if (verdict.setAside) {
        if (hasItemAndRoot(d, "handleNotification_UploadFail")) filePhoto(d, true);
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::SetAside;
        outcome.name = item;
        outcome.reason = verdict.setAsideReason;
        deps_.ui->showUploadOutcome(outcome);
        if (file && exists(*file) && !verdict.retryReason)
            verdict.retryReason = "could not set " + item + " aside";  // never sent again at once
    }

    if (verdict.stop) {
        // The service's ERROR holds the cycle until the user starts it again.
        logAt(LogLevel::Error,
              "The service answered ERROR: %s; the cycle stops until Upload Now, Resume or a "
              "change of settings",
              verdict.message.c_str());
        forgetInFlight(item);
        flags_.holdOnError(item, verdict.message);
        deps_.ui->setPauseResumeButton("Resume", true);
        return;
    }
    if (verdict.retryReason && file) {
        std::chrono::milliseconds longest =
            deps_.timings.longestRetryWait.value_or(rescanInterval());
        std::chrono::milliseconds wait =
            backoff_->recordFailure(*file, longest, verdict.retryAfter);
        platformLog("Upload of [%s] failed (%s); trying again in %s",
                    item.empty() ? file->c_str() : item.c_str(), verdict.retryReason->c_str(),
                    secondsText(wait).c_str());
        if (!verdict.setAside) showError(*verdict.retryReason);
        UploadOutcome outcome;
        outcome.kind = UploadOutcome::Kind::WillRetry;
        outcome.name = item.empty() ? *file : item;
        outcome.reason = *verdict.retryReason;
        outcome.retryIn = wait;
        deps_.ui->showUploadOutcome(outcome);
        armRetryTimer();
    }
    deps_.center->post(kCleanUpAfterUploadNotification, this, note.userInfo);
}

void AppController::handleNotification_CleanUpAfterUpload(const Notification& note) {
    const std::string item = itemOf(note.userInfo.get());
    if (note.userInfo) note.userInfo->clear();
    forgetInFlight(item);
    if (flags_.endUpload(item).held) {
        showHeld();
        return;
    }
    startOpenerThread();
}

void AppController::forgetInFlight(const std::string& item) {
    std::lock_guard lock(fieldsMutex_);
    inFlight_.erase(item);
}

void AppController::handleNotification_CleanUpAfterCompleteLoop(const Notification& note) {
    if (note.userInfo) note.userInfo->clear();
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
