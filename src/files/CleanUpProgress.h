#pragma once
// The port of the small progress window that long maintenance tasks open (the clean-ups, the
// hi-res order check): a title, two lines and a busy indicator. The headless application
// prints the lines; the windowed one draws them. Callable from any thread.

#include <functional>
#include <memory>
#include <string>

namespace vorn {

class MaintenanceWindow {
  public:
    virtual ~MaintenanceWindow() = default;

    virtual void showWindow() = 0;
    virtual void ibSetWindowTitle(const std::string& title) = 0;
    // doWait: return only once the line shows.
    virtual void ibUpdateLine1TextField(const std::string& text, bool doWait) = 0;
    virtual void ibUpdateLine2TextField(const std::string& text, bool doWait) = 0;
    // "YES" (any case) starts and shows the indicator; anything else stops and hides it.
    virtual void ibUpdateProgressBar(const std::string& state) = 0;
    virtual void close() = 0;
};

// Opens a new window ("maintenanceWindow"); nothing when none can be made.
using MaintenanceWindowFactory = std::function<std::unique_ptr<MaintenanceWindow>()>;

}  // namespace vorn
