#pragma once
// A whole upload cycle on real folders: the real controller and notification chain, a plain
// scan, a scripted uploader, a recording user interface and a test run loop for the main thread.

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>

#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/TempDir.h"
#include "support/cycle/FirstFileScanner.h"
#include "support/cycle/RecordingUserInterface.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn::test {

// A stand-in for the photo uploader: observes the same four notifications, answers each upload
// with the next scripted reply instead of talking to a service, and gives the verdict.
class ScriptedUploader {
  public:
    // Called on the scan thread in the middle of each upload; a reply it gives goes first.
    using Hook = std::function<std::optional<Dictionary>(const Dictionary& item)>;

    // Registers its observers: after the controller's, as the real uploader does.
    explicit ScriptedUploader(NotificationCenter& center) : center_(center) {
        center_.addObserver(this, kUploadStartNotification,
                            [this](const Notification& n) { start(n); });
        center_.addObserver(this, kUploadDoneNotification, [this](const Notification& n) {
            if (n.userInfo)
                center_.post(uploadSucceeded(*n.userInfo) ? kUploadSuccessNotification
                                                          : kUploadFailNotification,
                             this, n.userInfo);
        });
    }
    ~ScriptedUploader() { center_.removeObserver(this); }

    // Reply keys (httpStatusCode, httpOurCustomStatus, ...) for the next uploads, in order.
    // When the script runs out, uploads answer status "OK", code 200.
    void script(std::vector<Dictionary> replies) {
        std::lock_guard lock(mutex_);
        replies_.assign(replies.begin(), replies.end());
    }
    void onUpload(Hook hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    // The localItem of every upload, in order.
    std::vector<std::string> uploadedItems() const {
        std::lock_guard lock(mutex_);
        return uploaded_;
    }

  private:
    void start(const Notification& note) {
        Dictionary reply{{httpStatusCode, 200}, {httpOurCustomStatus, "OK"}};
        Hook hook;
        {
            std::lock_guard lock(mutex_);
            if (!replies_.empty()) {
                reply = replies_.front();
                replies_.pop_front();
            }
            uploaded_.push_back(*stringForKey(*note.userInfo, cDictKeyCurItem));
            hook = hook_;
        }
        if (hook)
            if (auto answer = hook(*note.userInfo)) reply = *answer;
        DictionaryPtr result = makeResultRecord(*note.userInfo);
        for (auto& [k, v] : reply) (*result)[k] = v;
        center_.post(kUploadDoneNotification, this, result);
        note.userInfo->clear();
    }

    NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::deque<Dictionary> replies_;
    Hook hook_;
    std::vector<std::string> uploaded_;
};

// Pauses of the cycle shortened for tests: nothing here waits out a real second.
inline CycleTimings quickCycleTimings() {
    CycleTimings quick;
    quick.afterNetworkError = quick.afterHttpError = quick.afterNoEmailAddresses =
        std::chrono::milliseconds(0);
    quick.openFilePoll = std::chrono::milliseconds(1);
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
        std::filesystem::create_directories(source);
        std::filesystem::create_directories(mirror);
        store = cyclePreferences(tmp / "prefs.plist", source, mirror);
        clock = std::make_shared<FixedClock>(SystemTime(std::chrono::seconds(1796558400)));
        scanner = std::make_shared<FirstFileScanner>();
        startController();
        ui.clear();
    }

    // A new controller on the same folders and state, as after a restart of the program.
    void startController() {
        uploader.reset();
        ui.flags = nullptr;
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
        ui.flags = &controller->flags();
        controller->registerNotifications();
        uploader = std::make_unique<ScriptedUploader>(center);
        controller->setFolderScanner(scanner);
    }

    void TearDown() override {
        scanner->openGate();
        EXPECT_TRUE(waitForRest());
        uploader.reset();
        ui.flags = nullptr;
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

    // A pass by hand, run to its end.
    bool synchronize() {
        controller->ibUserClickedOnSynchronize();
        return waitForRest();
    }

    void photo(const std::string& rel, const std::string& bytes = "JPEG bytes") {
        writeFile(source / rel, bytes);
    }

    TempDir tmp;
    std::filesystem::path source = tmp / "Upload", mirror = tmp / "Site" / "Mirror",
                          problem = tmp / "Site" / "Problem Folder";
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
