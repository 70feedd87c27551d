#pragma once
// What the uploader is doing, gathered from the port calls: a UserInterface that records the
// facts a status request answers and forwards every call to the real interface.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "upload/UserInterface.h"

namespace vorn {

struct StatusSnapshot {
    CycleState state = CycleState::Idle;
    std::string stateReason;
    // The photos on their way, in the order they went; the total rate and time left of all.
    std::vector<TransferProgress> transfers;
    double bytesPerSecond = 0;
    std::optional<double> secondsLeft;
    std::size_t photosWaiting = 0;
    std::uint64_t uploadedToday = 0;
    std::uint64_t setAsideToday = 0;
    std::uint64_t resentToday = 0;       // requests that went out a second time in one exchange
    std::uint64_t resentSinceStart = 0;  // the same since the process started
    std::optional<SystemTime> lastUpload;
    std::string lastUploadName;
    std::string lastError;
    std::optional<SystemTime> lastErrorTime;
    // While the launch delay runs: when the auto-start's pass begins.
    std::optional<SystemTime> startsAt;
    // Photos passed over as they are, and the last few of each kind named (newest first).
    SkippedCount skipped;
    std::vector<std::string> skippedWithoutMetadata;
    std::vector<std::string> skippedLoose;
    // Since the process started, as metrics count (a restart begins again at 0).
    std::uint64_t uploadedSinceStart = 0;
    std::uint64_t setAsideSinceStart = 0;
    std::uint64_t bytesSinceStart = 0;
    std::uint64_t retriesSinceStart = 0;
};

// Seconds until the auto-start's pass, while the launch delay runs and nothing else has begun.
std::optional<std::int64_t> secondsUntilStart(const StatusSnapshot& s, SystemTime now);

class StatusBoard : public UserInterface {
  public:
    StatusBoard(UserInterface& inner, std::shared_ptr<Clock> clock = nullptr);

    StatusSnapshot snapshot() const;
    const Clock& clock() const { return *clock_; }

    // Keeps the day's counts in path, so that a restart goes on counting the same day. Reads
    // what is there for today; call before the first outcome.
    void keepDayCountsIn(const std::string& path);
    // Called after each outcome is recorded, on the thread that reported it. Set before the
    // first outcome.
    void setOnOutcome(std::function<void()> onOutcome);

    // The snapshot as one JSON object, with extra text fields (folders, address, version...)
    // appended in the order given.
    std::string json(const std::vector<std::pair<std::string, std::string>>& extra) const;
    // The same facts as lines "label: value" for a person.
    std::string text(const std::vector<std::pair<std::string, std::string>>& extra) const;

    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) override;
    using UserInterface::ibUpdateFTPCallbackStatusTextField;
    void ibUpdateUploadStatusTextField(const std::string& text) override;
    void ibUpdateFileNameField(const std::string& text) override;
    void ibUpdateProgressBar(bool animate) override;
    void showPreviewImage(const std::string& path) override;
    void setPauseResumeButton(const std::string& title, bool enabled) override;
    void ibUpdateLoginName(const std::string& text) override;
    void ibUpdateUploadMainPath(const std::string& text) override;
    void ibUpdateSourceFolderPath(const std::string& text) override;
    void beep() override;
    bool hasImageView() const override;
    std::unique_ptr<MaintenanceWindow> newMaintenanceWindow() override;
    void doHandleOpenPrefPanel(DictionaryPtr sender) override;

    void showCycleState(CycleState state, const std::string& reason) override;
    void showTransferProgress(const TransferProgress& progress) override;
    void showTransferEnded(const std::string& name) override;
    void showWaitingCount(std::size_t photosWaiting) override;
    void showUploadOutcome(const UploadOutcome& outcome) override;
    void noteResend(const std::string& name) override;
    void showStartingIn(std::chrono::milliseconds delay) override;
    void showSkippedCount(const SkippedCount& skipped) override;
    bool mainWindowShown() const override;
    void bringMainWindowForward() override;
    void preferencesSaved() override;

  private:
    void rollDayLocked(SystemTime now);
    void totalsLocked();
    void saveDayCountsLocked();
    void recordOutcomeLocked(const UploadOutcome& outcome, SystemTime now);

    UserInterface& inner_;
    std::shared_ptr<Clock> clock_;
    mutable std::mutex mutex_;
    StatusSnapshot facts_;
    std::string day_;  // the local date the counts are for
    std::string dayCountsPath_;
    std::function<void()> onOutcome_;
};

// One outcome as the line the console and the log show, e.g.
// "uploaded Müller/B10_01.jpg (4.0 MiB in 310 ms)".
std::string outcomeLine(const UploadOutcome& outcome);

// JSON string literal of text (UTF-8 kept, bytes that are not UTF-8 replaced, control
// characters escaped).
std::string jsonQuoted(const std::string& text);

}  // namespace vorn
