#include "files/LineMaintenanceWindow.h"

namespace vorn {

LineMaintenanceWindow::LineMaintenanceWindow(PrintLine printLine)
    : printLine_(std::move(printLine)) {}

void LineMaintenanceWindow::ibSetWindowTitle(const std::string& title) {
    print(title);
}

void LineMaintenanceWindow::ibUpdateLine1TextField(const std::string& text, bool) {
    print(text);
}

void LineMaintenanceWindow::ibUpdateLine2TextField(const std::string& text, bool) {
    print(text);
}

void LineMaintenanceWindow::print(const std::string& text) {
    // Printed under the lock, so lines from two threads keep their order.
    std::lock_guard lock(mutex_);
    // A console shows what changed; a window redrawing the same text shows nothing new.
    if (text.empty() || text == last_ || !printLine_) return;
    last_ = text;
    printLine_(text);
}

MaintenanceWindowFactory lineMaintenanceWindows(LineMaintenanceWindow::PrintLine printLine) {
    return [printLine = std::move(printLine)]() -> std::unique_ptr<MaintenanceWindow> {
        return std::make_unique<LineMaintenanceWindow>(printLine);
    };
}

}  // namespace vorn
