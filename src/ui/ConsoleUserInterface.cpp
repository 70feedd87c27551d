#include "ui/ConsoleUserInterface.h"

#include <cstdio>

#include "files/LineMaintenanceWindow.h"

namespace vorn {

void ConsoleUserInterface::printLine(const std::string& label, const std::string& text) {
    std::string line = label + ": " + text;
    std::lock_guard lock(mutex_);
    // A field set twice to the same text says nothing new.
    if (line == lastLine_) return;
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

void ConsoleUserInterface::ibUpdateUploadStatusTextField(const std::string& text) {
    if (text.empty()) return;
    printLine("upload", text);
}

void ConsoleUserInterface::ibUpdateFileNameField(const std::string& text) {
    printLine("file", text);
}

void ConsoleUserInterface::ibUpdateProgressBar(bool) {}

void ConsoleUserInterface::setPauseResumeButton(const std::string& title, bool enabled) {
    if (enabled) printLine("button", title);
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
    printLine("state", reason.empty() ? std::string(cycleStateName(state))
                                      : std::string(cycleStateName(state)) + " (" + reason + ")");
}

std::string ConsoleUserInterface::outcomeLine(const UploadOutcome& outcome) {
    char buf[96];
    switch (outcome.kind) {
        case UploadOutcome::Kind::Uploaded: {
            const double bytes = static_cast<double>(outcome.bytes);
            if (bytes >= 1024.0 * 1024.0)
                std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
            else if (bytes >= 1024.0)
                std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
            else
                std::snprintf(buf, sizeof buf, "%.0f B", bytes);
            std::string size = buf;
            std::snprintf(buf, sizeof buf, "%.2f s", outcome.seconds);
            return "uploaded " + outcome.name + " (" + size + " in " + buf + ")";
        }
        case UploadOutcome::Kind::SetAside:
            return "set aside " + outcome.name + " (" + outcome.reason + ")";
        case UploadOutcome::Kind::WillRetry: {
            auto ms = outcome.retryIn.count();
            if (ms % 1000 == 0)
                std::snprintf(buf, sizeof buf, "%lld s", static_cast<long long>(ms / 1000));
            else
                std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
            return "will retry " + outcome.name + " in " + buf + " (" + outcome.reason + ")";
        }
        case UploadOutcome::Kind::Skipped:
            return "skipped " + outcome.name + " " +
                   (outcome.reason.empty() ? std::string("no upload metadata") : outcome.reason);
    }
    return outcome.name;
}

void ConsoleUserInterface::showUploadOutcome(const UploadOutcome& outcome) {
    const std::string line = outcomeLine(outcome);
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
