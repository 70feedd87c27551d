// The windows with the real controller, the real uploader and the stand-in service: the
// preferences asked for during an upload open only once the cycle has paused, and closing
// them lets the cycle go on with the next photo.

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

TEST(WindowCycleTest, PreferencesDuringAnUploadOpenAfterThePauseAndClosingResumes) {
    test::TempDir tmp;
    fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    fs::create_directories(mirror);
    test::writeFile(source / "Ball" / "IMG_0001.jpg", "\xFF\xD8 photo one");
    test::writeFile(source / "Ball" / "IMG_0002.jpg", "\xFF\xD8 photo two");
    // The first photo's reply is held back, so the test can ask for the panel mid-upload.
    test::writeFile(tmp / "script.txt", "IMG_0001.jpg 1 hang 1\n");
    test::PhotoServiceProcess service(tmp / "service", std::nullopt, tmp / "script.txt");
    auto store = test::cyclePreferences(tmp / "prefs.plist", source, mirror);
    store->setObject(sPrefKivURL, service.url());
    QtAlerts::nextAnswer = 1;  // any alert is answered, never waited for

    QtMainThread mainThread;
    NotificationCenter center;
    QtUserInterface windows(*store, [] {});
    AppController::Dependencies deps;
    deps.center = &center;
    deps.mainThread = &mainThread;
    deps.ui = &windows;
    deps.timings = test::quickCycleTimings();
    AppController controller(deps);
    controller.registerNotifications();
    HttpController::Options options;
    options.debugCopyFolder = tmp.str();
    options.runsAfter = &controller;
    HttpController uploader(center, &mainThread, options);
    controller.setFolderScanner(std::make_shared<test::FirstFileScanner>());
    windows.setController(&controller);
    QtMainWindow* main = windows.mainWindow();
    QtPreferencesPanel* panel = windows.preferencesPanel();
    main->show();

    controller.ibUserClickedOnSynchronize();
    ASSERT_TRUE(processEventsUntil([&] { return service.requestLog().size() == 1; }));
    ASSERT_TRUE(controller.flags().startedUploadProcess());

    windows.ibClickedOnOpenPref(main->ibOpenPrefButton);
    EXPECT_EQ(main->ibFTPCallbackStatusField->text(),
              "Will Open Pref Panel After Current Item is Finished...");
    EXPECT_FALSE(main->ibOpenPrefButton->isEnabled());
    EXPECT_FALSE(panel->isVisible());

    ASSERT_TRUE(processEventsUntil([&] { return panel->isVisible(); }));
    EXPECT_TRUE(controller.flags().didHaltProcess());
    EXPECT_TRUE(panel->displayAsSheet());
    EXPECT_TRUE(main->ibOpenPrefButton->isEnabled());
    EXPECT_TRUE(fs::exists(mirror / "Ball/IMG_0001.jpg"));
    EXPECT_EQ(service.requestLog().size(), 1u);  // the second photo waits for the panel

    panel->ibClickedOnSaveAndClose();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_TRUE(processEventsUntil([&] { return fs::exists(mirror / "Ball/IMG_0002.jpg"); }));
    EXPECT_FALSE(controller.flags().didHaltProcess());
    EXPECT_TRUE(processEventsUntil([&] { return controller.workerThreads().activeCount() == 0; }));
    EXPECT_EQ(service.requestLog().size(), 2u);
}

}  // namespace
}  // namespace vorn
