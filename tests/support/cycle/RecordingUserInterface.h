#pragma once
// A user interface that remembers what the cycle showed, for tests.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ProcessFlags.h"
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
    // Each state is announced under the flags' lock: what is shown must be what they say.
    void showCycleState(CycleState state, const std::string& reason) override {
        if (const ProcessFlags* f = flags) {
            EXPECT_EQ(cycleStateName(f->shownState()), std::string(cycleStateName(state)));
            EXPECT_EQ(f->shownReason(), reason);
        }
        record("state", reason.empty() ? cycleStateName(state)
                                       : std::string(cycleStateName(state)) + ": " + reason);
    }
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
    // The flags whose announcements this records, checked against each one.
    const ProcessFlags* flags = nullptr;
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
