#include "ui/ConsoleUserInterface.h"

#include <cstdio>

#include "app/StatusBoard.h"
#include "files/LineMaintenanceWindow.h"

namespace vorn {

void ConsoleUserInterface::printLine(const std::string& label, const std::string& text) {
    std::string line = label + ": " + text;
    std::lock_guard lock(mutex_);
    // A field set again to the text it last showed says nothing new (the account and folder
    // are set on every pass).
    std::string& last = lastByField_[label];
    if (text == last) return;
    last = text;
    lastLine_ = line;
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ConsoleUserInterface::ibUpdateFTPCallbackStatusTextField(const std::string& text,
                                                              bool isError) {
    if (text.empty()) return;
    printLine(isError ? "error" : "status", text);
}

// The upload field repeats what the state and error lines say; the file name is in the state
// line ("state: uploading (NAME)") and in the photo's outcome line.
void ConsoleUserInterface::ibUpdateUploadStatusTextField(const std::string&) {}

void ConsoleUserInterface::ibUpdateFileNameField(const std::string&) {}

void ConsoleUserInterface::ibUpdateProgressBar(bool) {}

// A disabled button is said as such: Pause greyed out while the photos in flight finish, and
// then working again, are two lines.
void ConsoleUserInterface::setPauseResumeButton(const std::string& title, bool enabled) {
    printLine("button", enabled ? title : title + " (disabled)");
}

void ConsoleUserInterface::ibUpdateLoginName(const std::string& text) {
    printLine("login", text);
}

void ConsoleUserInterface::ibUpdateSourceFolderPath(const std::string& text) {
    printLine("source", text);
}

std::unique_ptr<MaintenanceWindow> ConsoleUserInterface::newMaintenanceWindow() {
    return std::make_unique<LineMaintenanceWindow>(
        [this](const std::string& line) { printLine("maintenance", line); });
}

void ConsoleUserInterface::showCycleState(CycleState state, const std::string& reason) {
    // A scan between two photos is over in milliseconds: `vornctl status` shows it.
    if (state == CycleState::Scanning) return;
    printLine("state", reason.empty() ? std::string(cycleStateName(state))
                                      : std::string(cycleStateName(state)) + " (" + reason + ")");
}

void ConsoleUserInterface::showStartingIn(std::chrono::milliseconds delay) {
    printLine("state", "starting in " + std::to_string((delay.count() + 999) / 1000) + " s");
}

void ConsoleUserInterface::showUploadOutcome(const UploadOutcome& outcome) {
    const std::string line = outcomeLine(outcome);  // see StatusBoard.h
    std::lock_guard lock(mutex_);
    if (skipped_.size() > 10000) skipped_.clear();
    if (outcome.kind == UploadOutcome::Kind::Skipped &&
        !skipped_.insert(outcome.name + "\n" + outcome.reason).second)
        return;
    lastLine_ = line;
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ConsoleUserInterface::beep() {
    std::lock_guard lock(mutex_);
    std::fputs("\a", out_);
    std::fflush(out_);
}

}  // namespace vorn
