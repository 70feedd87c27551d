#include "ui/ConsoleUserInterface.h"

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

namespace {
// A maintenance task's window as console lines: "maintenance: <title>: <text>".
class ConsoleMaintenanceWindow : public MaintenanceWindow {
  public:
    explicit ConsoleMaintenanceWindow(ConsoleUserInterface& console) : console_(console) {}
    void showWindow() override {}
    void ibSetWindowTitle(const std::string& title) override { title_ = title; }
    void ibUpdateLine1TextField(const std::string& text, bool) override { print(text); }
    void ibUpdateLine2TextField(const std::string& text, bool) override { print(text); }
    void ibUpdateProgressBar(const std::string&) override {}
    void close() override {}

  private:
    void print(const std::string& text) {
        if (text.empty()) return;
        console_.printLine("maintenance", title_.empty() ? text : title_ + ": " + text);
    }
    ConsoleUserInterface& console_;
    std::string title_;
};
}  // namespace

std::unique_ptr<MaintenanceWindow> ConsoleUserInterface::newMaintenanceWindow() {
    return std::make_unique<ConsoleMaintenanceWindow>(*this);
}

void ConsoleUserInterface::beep() {
    std::lock_guard lock(mutex_);
    std::fputs("\a", out_);
    std::fflush(out_);
}

}  // namespace vorn
