#pragma once
// A user interface that remembers what the cycle showed, for tests.

#include <mutex>
#include <string>
#include <vector>

#include "app/UserInterface.h"

namespace vorn::test {

class RecordingUserInterface : public UserInterface {
  public:
    struct Line {
        std::string field;  // "callback", "callback-error", "upload", "file", "button", ...
        std::string text;
    };

    void ibUpdateFTPCallbackStatusTextField(const std::string& text, bool isError) override {
        record(isError ? "callback-error" : "callback", text);
    }
    using UserInterface::ibUpdateFTPCallbackStatusTextField;
    void ibUpdateUploadStatusTextField(const std::string& text) override { record("upload", text); }
    void ibUpdateFileNameField(const std::string& text) override { record("file", text); }
    void ibUpdateProgressBar(bool animate) override { record("progress", animate ? "YES" : "NO"); }
    void showPreviewImage(const std::string& path) override { record("preview", path); }
    void setPauseResumeButton(const std::string& title, bool enabled) override {
        record(enabled ? "button" : "button-disabled", title);
    }
    void ibUpdateLoginName(const std::string& text) override { record("login", text); }
    void ibUpdateUploadMainPath(const std::string& text) override { record("mainpath", text); }
    void ibUpdateSourceFolderPath(const std::string& text) override { record("source", text); }
    void beep() override { record("beep", ""); }
    bool hasImageView() const override { return false; }
    void showCycleState(CycleState state, const std::string& reason) override {
        record("state", std::string(cycleStateName(state)) + (reason.empty() ? "" : ": " + reason));
    }
    void showUploadOutcome(const UploadOutcome& outcome) override {
        static const char* const kinds[] = {"uploaded", "set aside", "will retry", "skipped"};
        record("outcome", kinds[static_cast<int>(outcome.kind)]);
    }

    std::vector<Line> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int count(const std::string& field, const std::string& text) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& l : lines_) n += (l.field == field && l.text == text);
        return n;
    }
    int count(const std::string& field) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& l : lines_) n += (l.field == field);
        return n;
    }
    std::string last(const std::string& field) const {
        std::lock_guard lock(mutex_);
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (it->field == field) return it->text;
        return {};
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    void record(const std::string& field, const std::string& text) {
        std::lock_guard lock(mutex_);
        lines_.push_back({field, text});
    }
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

}  // namespace vorn::test
