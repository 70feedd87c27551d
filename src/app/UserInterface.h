#pragma once
// The port through which the cycle shows its progress: the main window's fields, the progress
// bar, the preview, the Pause/Resume button and the beep. Callable from any thread; each
// implementation hands the change to its own main thread as needed. The headless application
// prints status lines (ConsoleUserInterface); the windowed one draws them.

#include <memory>
#include <string>

#include "files/CleanUpProgress.h"
#include "platform/Value.h"

namespace vorn {

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
};

}  // namespace vorn
