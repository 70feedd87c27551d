#include "app/ProcessFlags.h"

namespace vorn {

ProcessFlags::ProcessFlags(Announce announce) : announce_(std::move(announce)) {}

bool ProcessFlags::isHeld() const {
    Lock lock(fThreadLock);
    return gDidHaltProcess || gWantsToHaltProcess || stoppedOnError_;
}
CycleState ProcessFlags::shownState() const {
    Lock lock(fThreadLock);
    return stateLocked();
}
std::string ProcessFlags::shownReason() const {
    Lock lock(fThreadLock);
    return reasonLocked();
}

// What needs a person comes first, then what the cycle is doing.
CycleState ProcessFlags::stateLocked() const {
    if (waitingForSettings_) return CycleState::WaitingForSettings;
    if (stoppedOnError_ && uploadsInFlight_ == 0) return CycleState::Error;
    if (gDidHaltProcess) return CycleState::Paused;
    if (gWantsToHaltProcess) return CycleState::Pausing;
    if (uploadsInFlight_ > 0) return CycleState::Uploading;
    if (gIsScanning || passUnderWay_) return CycleState::Scanning;
    return CycleState::Idle;
}

std::string ProcessFlags::reasonLocked() const {
    switch (stateLocked()) {
        case CycleState::WaitingForSettings:
            return settingsProblem_;
        case CycleState::Error:
            return errorMessage_;
        case CycleState::Uploading:
        case CycleState::Pausing: {
            std::string names;
            for (const std::string& name : inFlight_) names += (names.empty() ? "" : ", ") + name;
            return names;
        }
        default:
            return "";
    }
}

void ProcessFlags::announceLocked() {
    changed_.notify_all();
    const CycleState state = stateLocked();
    std::string reason = reasonLocked();
    if (state == announcedState_ && reason == announcedReason_) return;
    announcedState_ = state;
    announcedReason_ = reason;
    if (announce_) announce_(state, reason);
}

ProcessFlags::OpenerEntry ProcessFlags::enterOpener() {
    Lock lock(fThreadLock);
    if (gInsideOpenFile) return OpenerEntry::OtherOpenerRunning;
    gInsideOpenFile = true;
    return OpenerEntry::Entered;
}

void ProcessFlags::leaveOpener() {
    Lock lock(fThreadLock);
    gInsideOpenFile = false;
    changed_.notify_all();
}

void ProcessFlags::waitForOpenerFree(std::chrono::milliseconds poll,
                                     const std::function<void()>& stillBusy) {
    Lock lock(fThreadLock);
    while (gInsideOpenFile) {
        if (stillBusy) stillBusy();
        changed_.wait_for(lock, poll);
    }
}

void ProcessFlags::passOpened() {
    Lock lock(fThreadLock);
    passUnderWay_ = true;
    announceLocked();
}

ProcessFlags::ScanStart ProcessFlags::beginScan(int uploadLimit) {
    Lock lock(fThreadLock);
    if (gIsScanning) {
        ++gNeedsToRescan;
        return ScanStart::AlreadyScanning;
    }
    if (uploadsInFlight_ >= uploadLimit) return ScanStart::UploadInFlight;
    if (holdIfPauseRequestedLocked() || stoppedOnError_) {
        passUnderWay_ = false;
        announceLocked();
        return ScanStart::Held;
    }
    gIsScanning = true;
    gNeedsToRescan = 0;
    announceLocked();
    return ScanStart::Started;
}

bool ProcessFlags::endScan(bool foundNothing) {
    Lock lock(fThreadLock);
    gIsScanning = false;
    const bool owed = gNeedsToRescan != 0;
    // A pass owed to requests that came meanwhile is under way already.
    if (owed)
        passUnderWay_ = true;
    else if (foundNothing)
        passUnderWay_ = false;
    announceLocked();
    return owed;
}

void ProcessFlags::noteRescanNeeded() {
    Lock lock(fThreadLock);
    ++gNeedsToRescan;
}

ProcessFlags::UploadStart ProcessFlags::beginUpload(const std::string& name, int limit) {
    Lock lock(fThreadLock);
    if (uploadsInFlight_ >= limit) return UploadStart::Busy;
    if (holdIfPauseRequestedLocked() || stoppedOnError_) {
        announceLocked();
        return UploadStart::Held;
    }
    ++uploadsInFlight_;
    inFlight_.push_back(name);
    announceLocked();
    return UploadStart::Started;
}

ProcessFlags::UploadEnd ProcessFlags::endUpload(const std::string& name) {
    Lock lock(fThreadLock);
    countOutLocked(name);
    UploadEnd end;
    const bool wasHeld = gDidHaltProcess;
    end.held = holdIfPauseRequestedLocked();
    end.newlyHeld = end.held && !wasHeld;
    announceLocked();
    return end;
}

void ProcessFlags::countOutLocked(const std::string& name) {
    if (uploadsInFlight_ > 0) --uploadsInFlight_;
    if (auto it = std::find(inFlight_.begin(), inFlight_.end(), name); it != inFlight_.end())
        inFlight_.erase(it);
    else if (uploadsInFlight_ == 0)
        inFlight_.clear();
}

// A requested pause takes effect once no upload is in flight.
bool ProcessFlags::holdIfPauseRequestedLocked() {
    if (gDidHaltProcess) return true;
    if (!gWantsToHaltProcess || uploadsInFlight_ > 0) return false;
    gDidHaltProcess = true;
    return true;
}

ProcessFlags::PauseResult ProcessFlags::requestPause() {
    Lock lock(fThreadLock);
    if (gDidHaltProcess) return PauseResult::AlreadyHeld;
    gWantsToHaltProcess = true;
    const PauseResult result =
        holdIfPauseRequestedLocked() ? PauseResult::HeldNow : PauseResult::Pausing;
    announceLocked();
    return result;
}

bool ProcessFlags::resume() {
    Lock lock(fThreadLock);
    const bool wasHeld = gDidHaltProcess || stoppedOnError_;
    gWantsToHaltProcess = false;
    gDidHaltProcess = false;
    stoppedOnError_ = false;
    errorMessage_.clear();
    announceLocked();
    return wasHeld;
}

bool ProcessFlags::waitUntilPaused() {
    Lock lock(fThreadLock);
    changed_.wait(lock, [this] { return gDidHaltProcess || !gWantsToHaltProcess; });
    return gDidHaltProcess;
}

void ProcessFlags::holdOnError(const std::string& name, const std::string& message) {
    Lock lock(fThreadLock);
    stoppedOnError_ = true;
    errorMessage_ = message;
    countOutLocked(name);
    holdIfPauseRequestedLocked();
    passUnderWay_ = false;
    announceLocked();
}

bool ProcessFlags::clearErrorHold() {
    Lock lock(fThreadLock);
    return clearLocked(stoppedOnError_, errorMessage_);
}

// A hold with its reason, taken back; whether it was there.
bool ProcessFlags::clearLocked(bool& hold, std::string& reason) {
    const bool was = hold;
    hold = false;
    reason.clear();
    announceLocked();
    return was;
}

bool ProcessFlags::waitForSettings(const std::string& problem) {
    Lock lock(fThreadLock);
    const bool newly = !waitingForSettings_;
    waitingForSettings_ = true;
    settingsProblem_ = problem;
    passUnderWay_ = false;
    announceLocked();
    return newly;
}

bool ProcessFlags::settingsHoldAgain() {
    Lock lock(fThreadLock);
    return clearLocked(waitingForSettings_, settingsProblem_);
}

bool ProcessFlags::enterWatchInstaller() {
    Lock lock(fThreadLock);
    if (gIsInWatchFolderInstaller) return false;
    gIsInWatchFolderInstaller = true;
    return true;
}

void ProcessFlags::leaveWatchInstaller() {
    Lock lock(fThreadLock);
    gIsInWatchFolderInstaller = false;
}

}  // namespace vorn
