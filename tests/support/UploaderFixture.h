#pragma once
// The real vorn-uploader run by a test against the stand-in service: its store, its logs and
// every folder it writes inside the test's temporary folder, its photos written as the capture
// software leaves them.
// Tests that include this link vorn_capture_writer.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "platform/PropertyList.h"
#include "support/ChildProcess.h"
#include "support/PhotoServiceProcess.h"
#include "support/TempDir.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn::test {

inline const std::string kUploaderProgram = std::string(VORN_BIN_DIR) + "/vorn-uploader";

// Polls what another process does (a file, a folder, its status) until it holds.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A photo with upload metadata, finished an hour ago: a pass takes it without waiting. Zeros
// after the image's end pad it to size. Returns its bytes.
inline std::string finishedPhoto(const std::filesystem::path& path,
                                 const Dictionary& metadata = {{"Version", "3"}},
                                 std::uint64_t size = 0) {
    capture::JpegSpec recipe;
    recipe.userComment = capture::metadataText(metadata);
    recipe.dateTimeOriginal = "2026:05:01 10:00:00";
    recipe.minimumSize = size;
    const std::string bytes = capture::makeJpeg(recipe).flatten();
    writeFile(path, bytes);
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    return bytes;
}

class UploaderFixture : public ::testing::Test {
  protected:
    // The stand-in service, answering as script says (vorn-photo-service --help).
    void startService(const std::string& script = "") {
        writeFile(tmp / "script.txt", script);
        service.emplace(tmp / "service", std::nullopt, tmp / "script.txt");
    }
    // Writes prefs as the store and starts the uploader over it; extra arguments come last,
    // extra environment entries first (they win over the test's folders).
    void launch(const Dictionary& prefs, const std::vector<std::string>& extraArgs = {},
                std::vector<std::string> extraEnv = {}) {
        writeFile(prefsPath, toXmlPropertyList(Value(prefs)));
        app.reset();
        app.emplace(kUploaderProgram, arguments(extraArgs), environment(std::move(extraEnv)));
    }
    std::vector<std::string> arguments(const std::vector<std::string>& extra = {}) const {
        std::vector<std::string> args{"--headless", "--prefs", prefsPath.string(), "--log-dir",
                                      logDir.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::vector<std::string> environment(std::vector<std::string> extra = {}) const {
        extra.insert(extra.end(), {"HOME=" + (tmp / "home").string(),
                                   "XDG_CONFIG_HOME=" + (tmp / "config").string(),
                                   "XDG_STATE_HOME=" + (tmp / "state").string(),
                                   "XDG_DATA_HOME=" + (tmp / "data").string()});
        return extra;
    }
    // The folders and the account of a run against the service at url.
    Dictionary serviceSettings(const std::string& url) const {
        return {{"prefKivURL", url},
                {"prefLocalSourceUploadFolder", source.string()},
                {"prefLocalMasterMirrorSiteFolder", mirror.string()},
                {"userLoginName", "photog"},
                {"userLoginPassword", "s3cret-pass"},
                {"userEnteredEventName", "Prom"}};
    }
    // All the dated logs of the runs so far.
    std::string datedLogs() const {
        std::string all;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(logDir / "logs", ec))
            all += readFile(e.path());
        return all;
    }
    // Status 0, and the message log ends with the termination's last line.
    void expectOrderlyEnd() {
        EXPECT_EQ(app->wait(std::chrono::seconds(30)), 0);
        const std::string log = readFile(logDir / "VornLog.txt");
        const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
        EXPECT_NE(last.find("] ==> applicationWillTerminate - DONE!"), std::string::npos) << last;
    }

    TempDir tmp;
    std::filesystem::path source = tmp / "Upload", mirror = tmp / "Mirror",
                          prefsPath = tmp / "prefs.plist", logDir = tmp / "logs";
    std::optional<PhotoServiceProcess> service;
    std::optional<ChildProcess> app;  // ends first
};

}  // namespace vorn::test
