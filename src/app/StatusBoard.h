#pragma once
// What the uploader is doing, gathered from the port calls: a UserInterface that records the
// facts a status request answers and forwards every call to the real interface.

#include <chrono>
#include <cstdint>
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
    std::optional<TransferProgress> transfer;
    std::size_t photosWaiting = 0;
    std::uint64_t uploadedToday = 0;
    std::uint64_t setAsideToday = 0;
    std::optional<SystemTime> lastUpload;
    std::string lastUploadName;
    std::string lastError;
    std::optional<SystemTime> lastErrorTime;
};

class StatusBoard : public UserInterface {
  public:
    StatusBoard(UserInterface& inner, std::shared_ptr<Clock> clock = nullptr);

    StatusSnapshot snapshot() const;

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
    void showTransferEnded() override;
    void showWaitingCount(std::size_t photosWaiting) override;
    void showUploadOutcome(const UploadOutcome& outcome) override;
    bool mainWindowShown() const override;
    void bringMainWindowForward() override;
    void preferencesSaved() override;

  private:
    void rollDayLocked(SystemTime now);

    UserInterface& inner_;
    std::shared_ptr<Clock> clock_;
    mutable std::mutex mutex_;
    StatusSnapshot facts_;
    std::string day_;  // the local date the counts are for
};

// One outcome as the line the console and the log show, e.g.
// "uploaded Müller/B10_01.jpg (4.0 MiB in 310 ms)".
std::string outcomeLine(const UploadOutcome& outcome);

// JSON string literal of text (UTF-8 kept, control characters escaped).
std::string jsonQuoted(const std::string& text);

}  // namespace vorn
