#pragma once
// The headless user interface: each change of a status field becomes one line on standard
// output, so an operator (or a service log) can follow the cycle.

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "upload/UserInterface.h"

namespace vorn {

class ConsoleUserInterface : public UserInterface {
  public:
    explicit ConsoleUserInterface(std::FILE* out = stdout) : out_(out) {}

    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) override;
    using UserInterface::ibUpdateFTPCallbackStatusTextField;
    void ibUpdateUploadStatusTextField(const std::string& text) override;
    void ibUpdateFileNameField(const std::string& text) override;
    void ibUpdateProgressBar(bool animate) override;
    void showPreviewImage(const std::string&) override {}
    void setPauseResumeButton(const std::string& title, bool enabled) override;
    void ibUpdateLoginName(const std::string& text) override;
    void ibUpdateUploadMainPath(const std::string&) override {}
    void ibUpdateSourceFolderPath(const std::string& text) override;
    void beep() override;
    bool hasImageView() const override { return false; }
    std::unique_ptr<MaintenanceWindow> newMaintenanceWindow() override;
    void showCycleState(CycleState state, const std::string& reason) override;
    void showUploadOutcome(const UploadOutcome& outcome) override;
    void showStartingIn(std::chrono::milliseconds delay) override;

    // Prints one line as it is (used by the application for its own notices).
    void printLine(const std::string& label, const std::string& text);

  private:
    std::FILE* out_;
    std::mutex mutex_;
    std::string lastLine_;
    std::map<std::string, std::string> lastByField_;  // label -> the text it last printed
    std::set<std::string> skipped_;                   // each skipped file is reported once
};

}  // namespace vorn
