// The windows with the real controller, the real uploader and the stand-in service: the
// preferences asked for during an upload open only once the cycle has paused, and closing
// them lets the cycle go on with the next photo; the panel shown at launch gives way to the
// auto-start.

#include <filesystem>

#include "UiFixture.h"
#include "app/AppController.h"
#include "settings/PreferenceKeys.h"
#include "shell/QtAlerts.h"
#include "shell/QtMainThread.h"
#include "shell/QtUserInterface.h"
#include "support/PhotoServiceProcess.h"
#include "support/cycle/CycleFixture.h"
#include "support/cycle/FirstFileScanner.h"
#include "upload/HttpController.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::processEventsUntil;

// Two photos in the source folder, the first one's reply held back for `hangSeconds`, and the
// windows on the real controller and uploader.
class WindowCycleTest : public ::testing::Test {
  protected:
    void start(int hangSeconds) {
        fs::create_directories(mirror);
        test::writeFile(source / "Ball" / "IMG_0001.jpg", "\xFF\xD8 photo one");
        test::writeFile(source / "Ball" / "IMG_0002.jpg", "\xFF\xD8 photo two");
        test::writeFile(tmp / "script.txt",
                        "IMG_0001.jpg 1 hang " + std::to_string(hangSeconds) + "\n");
        service.emplace(tmp / "service", std::nullopt, tmp / "script.txt");
        store = test::cyclePreferences(tmp / "prefs.plist", source, mirror);
        store->setObject(sPrefKivURL, service->url());
        QtAlerts::nextAnswer = 1;  // any alert is answered, never waited for

        windows.emplace(*store, [] {});
        controller.emplace(AppController::Dependencies{.center = &center,
                                                       .mainThread = &mainThread,
                                                       .ui = &*windows,
                                                       .timings = test::quickCycleTimings()});
        controller->registerNotifications();
        HttpController::Options options;
        options.debugCopyFolder = tmp.str();
        options.runsAfter = &*controller;
        uploader.emplace(center, &mainThread, options);
        controller->setFolderScanner(std::make_shared<test::FirstFileScanner>());
        windows->setController(&*controller);
        main = windows->mainWindow();
        panel = windows->preferencesPanel();
    }
    // A photo still in flight is cut off and the cycle held, so that no pass follows it.
    void TearDown() override {
        if (controller) controller->forceProcessToPause();
        if (uploader) uploader->cancel();
        if (!controller) return;
        EXPECT_TRUE(
            processEventsUntil([&] { return controller->workerThreads().activeCount() == 0; }));
    }

    test::TempDir tmp;
    fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    std::optional<test::PhotoServiceProcess> service;
    std::shared_ptr<PreferencesStore> store;
    QtMainThread mainThread;
    NotificationCenter center;
    std::optional<QtUserInterface> windows;
    std::optional<AppController> controller;
    std::optional<HttpController> uploader;
    QtMainWindow* main = nullptr;
    QtPreferencesPanel* panel = nullptr;
};

TEST_F(WindowCycleTest, PreferencesDuringAnUploadOpenAfterThePauseAndClosingResumes) {
    start(1);
    main->show();

    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(processEventsUntil([&] { return service->requestLog().size() == 1; }));
    ASSERT_TRUE(controller->flags().startedUploadProcess());

    windows->ibClickedOnOpenPref(main->ibOpenPrefButton);
    EXPECT_EQ(main->ibFTPCallbackStatusField->text(),
              "Will Open Pref Panel After Current Item is Finished...");
    EXPECT_FALSE(main->ibOpenPrefButton->isEnabled());
    EXPECT_FALSE(panel->isVisible());

    ASSERT_TRUE(processEventsUntil([&] { return panel->isVisible(); }));
    EXPECT_TRUE(controller->flags().didHaltProcess());
    EXPECT_TRUE(panel->displayAsSheet());
    EXPECT_TRUE(main->ibOpenPrefButton->isEnabled());
    EXPECT_TRUE(fs::exists(mirror / "Ball/IMG_0001.jpg"));
    EXPECT_EQ(service->requestLog().size(), 1u);  // the second photo waits for the panel

    panel->ibClickedOnSaveAndClose();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(processEventsUntil([&] { return fs::exists(mirror / "Ball/IMG_0002.jpg"); }));
    EXPECT_FALSE(controller->flags().didHaltProcess());
    EXPECT_TRUE(processEventsUntil([&] { return controller->workerThreads().activeCount() == 0; }));
    EXPECT_EQ(service->requestLog().size(), 2u);
}

// Shown at launch with an auto-start: the panel that came up free-standing (and was unlocked
// since) is locked and closed by the start, and the main window shows the upload. A pause then
// waits for the photo to go out and be filed; meanwhile the window says so and the button cannot
// be pressed again.
TEST_F(WindowCycleTest, ThePanelShownAtLaunchGivesWayToTheAutoStartAndAPauseWaitsForThePhoto) {
    start(3);
    main->show();
    windows->ibClickedOnOpenPref(nullptr);
    ASSERT_TRUE(processEventsUntil([&] { return panel->isVisible(); }));
    EXPECT_FALSE(panel->displayAsSheet());
    panel->forceLockedIcon(1);

    store->setObject(sPrefAutoStartUploadAtStartup, true);
    controller->applicationDidFinishLaunching(
        {.headless = false, .autoStartDelay = std::chrono::milliseconds(50)});
    ASSERT_TRUE(processEventsUntil([&] { return service->requestLog().size() == 1; }));
    EXPECT_TRUE(processEventsUntil([&] { return !main->ibFileNameField->text().isEmpty(); }));
    EXPECT_FALSE(panel->isVisible());
    EXPECT_EQ(panel->lockState(), 0);
    EXPECT_EQ(main->ibFileNameField->text(), "Ball/IMG_0001.jpg");
    EXPECT_EQ(main->ibPauseResumeButton->text(), "Pause");
    EXPECT_TRUE(main->ibPauseResumeButton->isEnabled());

    main->ibPauseResumeButton->click();
    QApplication::processEvents();
    EXPECT_EQ(main->ibFTPCallbackStatusField->text(),
              "Pausing... Waiting for Current Item to Finish...");
    EXPECT_FALSE(main->ibPauseResumeButton->isEnabled());
    EXPECT_FALSE(fs::exists(mirror / "Ball/IMG_0001.jpg"));
    ASSERT_TRUE(processEventsUntil([&] { return controller->flags().didHaltProcess(); }));
    EXPECT_TRUE(processEventsUntil([&] {
        return fs::exists(mirror / "Ball/IMG_0001.jpg") && main->ibPauseResumeButton->isEnabled() &&
               main->ibFTPCallbackStatusField->text() == "Process Paused...";
    }));
    EXPECT_EQ(main->ibPauseResumeButton->text(), "Resume");
    EXPECT_EQ(service->requestLog().size(), 1u);  // the second photo waits for Resume
}

}  // namespace
}  // namespace vorn
