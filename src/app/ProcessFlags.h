#pragma once
// The process flags of the upload cycle, the rescan count and the one lock they share. Every
// change that touches more than one flag is a named transition done in one step under that lock,
// so that no thread ever sees half of it (a pause between "no upload in flight" and "hold", a
// scan request between "scanning" and "not scanning"). The state the user sees is derived here
// from the flags and announced from here whenever it changes, in the order of the changes: the
// windows, the console and `vornctl status` can never disagree with what the cycle does.
//
// Uploads in flight are a count, so that more than one photo may be on its way at once.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "upload/UserInterface.h"

namespace vorn {

class ProcessFlags {
  public:
    // Called under the lock with each new state the user should see; it must not call back
    // into anything that waits for another thread holding the lock.
    using Announce = std::function<void(CycleState state, const std::string& reason)>;
    explicit ProcessFlags(Announce announce = nullptr);

    // ---- the flags, each read under the lock ----
    bool isScanning() const { return read(gIsScanning); }
    std::int32_t needsToRescan() const { return read(gNeedsToRescan); }
    bool startedUploadProcess() const { return read(uploadsInFlight_) > 0; }
    int uploadsInFlight() const { return read(uploadsInFlight_); }
    // The photos in flight (relative to the source folder), in the order they went.
    std::vector<std::string> namesInFlight() const { return read(inFlight_); }
    bool wantsToHaltProcess() const { return read(gWantsToHaltProcess); }
    bool didHaltProcess() const { return read(gDidHaltProcess); }
    bool isInsideOpenFile() const { return read(gInsideOpenFile); }
    bool isInsideWatchFolderThread() const { return read(gIsInWatchFolderInstaller); }
    bool isWaitingForSettings() const { return read(waitingForSettings_); }
    bool isStoppedOnError() const { return read(stoppedOnError_); }
    // Paused, pausing or stopped on error: no pass may be opened.
    bool isHeld() const;
    // The state the user sees, derived from the flags, and its reason.
    CycleState shownState() const;
    std::string shownReason() const;

    // ---- the pass opener ----
    enum class OpenerEntry { Entered, OtherOpenerRunning };
    OpenerEntry enterOpener();
    void leaveOpener();
    // Waits until no opener runs; wakes at least every `poll` to say so in the log.
    void waitForOpenerFree(std::chrono::milliseconds poll, const std::function<void()>& stillBusy);
    // The opener posted a scan request: a pass is under way until a scan ends with nothing.
    void passOpened();

    // ---- scans ----
    enum class ScanStart {
        Started,          // this scan runs; the rescan count is reset
        AlreadyScanning,  // counted as a rescan request for the running scan
        UploadInFlight,   // refused: an upload still runs
        Held,             // refused: paused or stopped on error
    };
    // uploadLimit: the uploads that may be in flight at once; a scan runs beside fewer.
    ScanStart beginScan(int uploadLimit = 1);
    // Ends the running scan. True when scan requests arrived meanwhile: exactly one more pass
    // is owed for all of them. A scan that found nothing and owes none ends the pass.
    bool endScan(bool foundNothing);
    // A photo not yet written: one more pass is owed once it has settled.
    void noteRescanNeeded();

    // ---- uploads ----
    enum class UploadStart { Started, Busy, Held };
    // One more upload in flight, unless `limit` are already or the cycle is held (a pause
    // asked for with nothing in flight takes effect here).
    UploadStart beginUpload(const std::string& name, int limit = 1);
    struct UploadEnd {
        bool held = false;       // the cycle is held now
        bool newlyHeld = false;  // and this end put it there (a pause asked during the upload)
    };
    UploadEnd endUpload(const std::string& name);

    // ---- pause and resume ----
    enum class PauseResult {
        HeldNow,      // nothing was in flight
        Pausing,      // held once the uploads in flight are filed
        AlreadyHeld,  // nothing changed
    };
    PauseResult requestPause();
    // Clears the pause, the stop on error and their requests. False when nothing was held.
    bool resume();
    // Waits until a requested pause has taken effect (true), or until nothing is being paused
    // any more (false: a resume came first).
    bool waitUntilPaused();

    // ---- the service's ERROR ----
    // Ends the upload that got it and holds the cycle until the user starts it again or a
    // setting changes.
    void holdOnError(const std::string& name, const std::string& message);
    // True when the cycle was held on an error.
    bool clearErrorHold();

    // ---- settings ----
    // True when the cycle was not waiting yet.
    bool waitForSettings(const std::string& problem);
    // True when the cycle was waiting.
    bool settingsHoldAgain();

    // ---- the folder watcher's installer ----
    bool enterWatchInstaller();  // false when one is already running
    void leaveWatchInstaller();

  private:
    using Lock = std::unique_lock<std::recursive_mutex>;
    template <typename T>
    T read(const T& field) const {
        Lock lock(fThreadLock);
        return field;
    }
    // Announces the state when it changed; called at the end of every transition.
    void announceLocked();
    CycleState stateLocked() const;
    std::string reasonLocked() const;
    bool holdIfPauseRequestedLocked();
    bool clearLocked(bool& hold, std::string& reason);
    // One upload in flight fewer: the one named.
    void countOutLocked(const std::string& name);

    Announce announce_;
    mutable std::recursive_mutex fThreadLock;
    std::condition_variable_any changed_;

    bool gIsScanning = false;
    std::int32_t gNeedsToRescan = 0;
    int uploadsInFlight_ = 0;  // gStartedUploadProcess is this above 0
    bool gWantsToHaltProcess = false;
    bool gDidHaltProcess = false;
    bool gInsideOpenFile = false;
    bool gIsInWatchFolderInstaller = false;
    bool passUnderWay_ = false;
    bool stoppedOnError_ = false;
    std::string errorMessage_;
    bool waitingForSettings_ = false;
    std::string settingsProblem_;
    std::vector<std::string> inFlight_;  // names of the photos in flight, in the order they went

    CycleState announcedState_ = CycleState::Idle;
    std::string announcedReason_;
};

}  // namespace vorn
