#pragma once
// A maintenance task's progress window for the headless application: each new title or line
// becomes one line of text, handed to printLine (callable from any thread).

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "files/CleanUpProgress.h"

namespace vorn {

class LineMaintenanceWindow : public MaintenanceWindow {
  public:
    using PrintLine = std::function<void(const std::string& line)>;
    explicit LineMaintenanceWindow(PrintLine printLine);

    void showWindow() override {}
    void ibSetWindowTitle(const std::string& title) override;
    void ibUpdateLine1TextField(const std::string& text, bool doWait) override;
    void ibUpdateLine2TextField(const std::string& text, bool doWait) override;
    void ibUpdateProgressBar(const std::string&) override {}
    void close() override {}

  private:
    void print(const std::string& text);

    PrintLine printLine_;
    std::mutex mutex_;
    std::string last_;
};

// A factory of such windows, all printing through printLine.
MaintenanceWindowFactory lineMaintenanceWindows(LineMaintenanceWindow::PrintLine printLine);

}  // namespace vorn
