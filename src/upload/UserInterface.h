#pragma once
// The port through which the cycle shows its progress: the main window's fields, the progress
// bar, the preview, the Pause/Resume button and the beep. Callable from any thread; each
// implementation hands the change to its own main thread as needed. The headless application
// prints status lines (ConsoleUserInterface); the windowed one draws them.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "files/CleanUpProgress.h"
#include "platform/Value.h"

namespace vorn {

// The cycle's state as the windows, the tray and `vornctl status` show it.
enum class CycleState { Idle, Scanning, Uploading, Pausing, Paused, Error, WaitingForSettings };

inline const char* cycleStateName(CycleState state) {
    switch (state) {
        case CycleState::Idle:
            return "idle";
        case CycleState::Scanning:
            return "scanning";
        case CycleState::Uploading:
            return "uploading";
        case CycleState::Pausing:
            return "pausing";
        case CycleState::Paused:
            return "paused";
        case CycleState::Error:
            return "stopped on error";
        case CycleState::WaitingForSettings:
            return "waiting for valid settings";
    }
    return "idle";
}

// A photo (with its movie) on its way to the service, a few times a second while it is sent.
struct TransferProgress {
    std::string name;  // relative to the source folder, e.g. "Müller/B10_01.jpg"
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesTotal = 0;  // 0 while unknown
    double bytesPerSecond = 0;
    std::optional<double> secondsLeft;
    // Set once the last byte is out while the service has not answered yet: how long it has
    // been thinking.
    std::optional<double> secondsWaitingForReply;
};

// What became of one photo: one of these per photo and exchange.
struct UploadOutcome {
    enum class Kind { Uploaded, SetAside, WillRetry, Skipped };
    Kind kind = Kind::Uploaded;
    std::string name;  // relative to the source folder
    std::uint64_t bytes = 0;
    double seconds = 0;  // time on the wire
    std::string reason;  // set aside, retry and skip: why, in words a user can act on
    std::chrono::milliseconds retryIn{0};  // WillRetry: the wait before the next try
    // Skipped: why the scan passes the photo over.
    enum class Skip { NoMetadata, Loose, Link };
    Skip skip = Skip::NoMetadata;
};

// Photos the scan passes over as they are, as the last pass counted them.
struct SkippedCount {
    std::size_t withoutMetadata = 0;
    std::size_t loose = 0;  // directly in the source folder, not in a client folder
    bool operator==(const SkippedCount&) const = default;
};

class UserInterface {
  public:
    virtual ~UserInterface() = default;

    // The callback status field; errors show in red.
    virtual void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) = 0;
    void ibUpdateFTPCallbackStatusTextField(const std::string& text) {
        ibUpdateFTPCallbackStatusTextField(text, false);
    }
    virtual void ibUpdateUploadStatusTextField(const std::string& text) = 0;
    virtual void ibUpdateFileNameField(const std::string& text) = 0;
    // true starts the indeterminate animation, false stops it.
    virtual void ibUpdateProgressBar(bool animate) = 0;
    // Shows the image at path as the preview of the item being uploaded.
    virtual void showPreviewImage(const std::string& path) = 0;
    virtual void setPauseResumeButton(const std::string& title, bool enabled) = 0;
    virtual void ibUpdateLoginName(const std::string& text) = 0;
    virtual void ibUpdateUploadMainPath(const std::string& text) = 0;
    virtual void ibUpdateSourceFolderPath(const std::string& text) = 0;
    virtual void beep() = 0;
    // Whether a preview can be shown at all (an image view exists).
    virtual bool hasImageView() const = 0;
    // A new progress window for a maintenance task (clean-ups, hi-res orders); none by default.
    virtual std::unique_ptr<MaintenanceWindow> newMaintenanceWindow() { return nullptr; }
    // Opens the login and preferences panel once a pause the panel waited for has taken effect.
    virtual void doHandleOpenPrefPanel(DictionaryPtr sender) { (void)sender; }

    // ---- live facts beyond the status fields; all callable from any thread ----
    virtual void showCycleState(CycleState state, const std::string& reason) {
        (void)state;
        (void)reason;
    }
    // Throttled by the caller to a few calls a second; ended by showTransferEnded.
    virtual void showTransferProgress(const TransferProgress& progress) { (void)progress; }
    // The photo named (as in its TransferProgress) is no longer on its way.
    virtual void showTransferEnded(const std::string& name) { (void)name; }
    // Photos waiting in the source folder, as the last pass counted them.
    virtual void showWaitingCount(std::size_t photosWaiting) { (void)photosWaiting; }
    virtual void showUploadOutcome(const UploadOutcome& outcome) { (void)outcome; }
    // The request carrying this photo (name as in TransferProgress) went out once more in the
    // same exchange, its first copy being provably incomplete.
    virtual void noteResend(const std::string& name) { (void)name; }
    // The first pass starts by itself after this delay (the auto-start at launch).
    virtual void showStartingIn(std::chrono::milliseconds delay) { (void)delay; }
    virtual void showSkippedCount(const SkippedCount& skipped) { (void)skipped; }

    // ---- the windows themselves ----
    // Whether the main window is on screen now; a person then gets longer before the auto-start.
    virtual bool mainWindowShown() const { return false; }
    // A pass was opened: a hidden main window comes forward, unless the program runs hidden.
    virtual void bringMainWindowForward() {}
    // The settings were checked and taken: the preferences panel locks and closes (a sheet ends
    // with code 1).
    virtual void preferencesSaved() {}
};

}  // namespace vorn
