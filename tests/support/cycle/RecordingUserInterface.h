#pragma once
// A user interface that remembers what the cycle showed, for tests.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "upload/UserInterface.h"

namespace vorn::test {

class RecordingUserInterface : public UserInterface {
  public:
    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) override {
        record(isError ? "callback-error" : "callback", text);
    }
    using UserInterface::ibUpdateFTPCallbackStatusTextField;
    void ibUpdateUploadStatusTextField(const std::string&) override {}
    void ibUpdateFileNameField(const std::string&) override {}
    void ibUpdateProgressBar(bool) override {}
    void showPreviewImage(const std::string&) override {}
    void setPauseResumeButton(const std::string& title, bool enabled) override {
        record(enabled ? "button" : "button-disabled", title);
    }
    void ibUpdateLoginName(const std::string&) override {}
    void ibUpdateUploadMainPath(const std::string&) override {}
    void ibUpdateSourceFolderPath(const std::string&) override {}
    void beep() override { record("beep", ""); }
    bool hasImageView() const override { return false; }
    void showUploadOutcome(const UploadOutcome& outcome) override {
        static const char* const kinds[] = {"uploaded", "set aside", "will retry", "skipped"};
        record("outcome", kinds[static_cast<int>(outcome.kind)]);
    }

    // Lines of field that start with prefix.
    int count(const std::string& field, const std::string& prefix = "") const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& [f, text] : lines_) n += f == field && text.rfind(prefix, 0) == 0;
        return n;
    }
    std::string last(const std::string& field) const {
        std::lock_guard lock(mutex_);
        std::string last;
        for (const auto& [f, text] : lines_)
            if (f == field) last = text;
        return last;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
        onRecord = nullptr;
    }
    // Called with each line as it is shown, on the thread that shows it.
    std::function<void(const std::string& field, const std::string& text)> onRecord;

  private:
    void record(const std::string& field, const std::string& text) {
        if (onRecord) onRecord(field, text);
        std::lock_guard lock(mutex_);
        lines_.emplace_back(field, text);
    }
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;  // field ("callback", ...), text
};

}  // namespace vorn::test
