#pragma once
// A whole upload cycle on real folders: the real controller and notification chain, a plain
// scan, a scripted uploader, a recording user interface and a test run loop for the main thread.

#include <gtest/gtest.h>

#include <filesystem>

#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/TempDir.h"
#include "support/cycle/FirstFileScanner.h"
#include "support/cycle/RecordingUserInterface.h"
#include "support/cycle/ScriptedUploader.h"

namespace vorn::test {

// Pauses of the cycle shortened for tests: nothing here waits out a real second.
inline CycleTimings quickCycleTimings() {
    CycleTimings quick;
    quick.afterNetworkError = quick.afterHttpError = quick.afterNoEmailAddresses =
        std::chrono::milliseconds(0);
    quick.notYetWrittenPause = quick.openFilePoll = quick.pauseWaitPoll =
        std::chrono::milliseconds(1);
    quick.firstRetryWait = std::chrono::milliseconds(0);  // a failed photo goes again at once
    return quick;
}

// A fresh store with the folders and the account a pass needs, made the process-wide one.
inline std::shared_ptr<PreferencesStore> cyclePreferences(const std::filesystem::path& storeFile,
                                                          const std::filesystem::path& source,
                                                          const std::filesystem::path& mirror) {
    auto store = std::make_shared<PreferencesStore>(storeFile.string());
    Preferences::setStore(store);
    store->setObject(sPrefLocalSourceUploadFolder, source.string());
    store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror.string());
    store->setObject(sUserLoginName, "photog");
    store->setObject(sUserLoginPassword, "secret");
    store->setObject(sUserEnteredEventName, "Prom 2026");
    return store;
}

class CycleFixture : public ::testing::Test {
  public:
    explicit CycleFixture(RunLoop::Time time = RunLoop::Time::Real) : loop(time) {}

    void SetUp() override {
        namespace fs = std::filesystem;
        source = tmp / "Upload";
        mirror = tmp / "Site" / "Mirror";
        problem = tmp / "Site" / "Problem Folder";
        fs::create_directories(source);
        fs::create_directories(mirror);

        store = cyclePreferences(tmp / "prefs.plist", source, mirror);

        clock = std::make_shared<FixedClock>(SystemTime(std::chrono::seconds(1796558400)));
        scanner = std::make_shared<FirstFileScanner>();
        startController();
        ui.clear();
    }

    // A new controller on the same folders and state, as after a restart of the program.
    void startController() {
        uploader.reset();
        controller.reset();
        AppController::Dependencies deps;
        deps.center = &center;
        deps.mainThread = &loop;
        deps.ui = &ui;
        deps.clock = clock;
        deps.timings = timings;
        deps.filingJournalPath = (tmp / "state" / "FilingJournal.plist").string();
        deps.monotonicNow = [this] { return loop.now(); };
        controller = std::make_unique<AppController>(deps);
        controller->registerNotifications();
        uploader = std::make_unique<ScriptedUploader>(center);
        controller->setFolderScanner(scanner);
    }

    void TearDown() override {
        scanner->openGate();
        EXPECT_TRUE(waitForRest());
        uploader.reset();
        controller.reset();
    }

    // Starts over with fresh folders, preferences and controller (for table rows).
    void reset() {
        TearDown();
        std::filesystem::remove_all(tmp.path());
        SetUp();
    }

    // Runs the main loop until every scan, opener and pause thread has ended and the main
    // thread has nothing left to do.
    bool waitForRest() {
        bool rested = loop.runUntil([&] { return controller->workerThreads().activeCount() == 0; },
                                    std::chrono::seconds(20));
        loop.runPending();
        return rested;
    }

    void photo(const std::string& rel, const std::string& bytes = "JPEG bytes") {
        writeFile(source / rel, bytes);
    }

    TempDir tmp;
    std::filesystem::path source, mirror, problem;
    std::shared_ptr<PreferencesStore> store;
    std::shared_ptr<FixedClock> clock;
    CycleTimings timings = quickCycleTimings();
    RunLoop loop;
    NotificationCenter center;
    RecordingUserInterface ui;
    std::unique_ptr<AppController> controller;
    std::unique_ptr<ScriptedUploader> uploader;
    std::shared_ptr<FirstFileScanner> scanner;
};

}  // namespace vorn::test
