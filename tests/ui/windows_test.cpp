// The windows' rules, offscreen: field updates, the preferences panel's lock, colours, folder
// choices and preference files, and the alerts.

#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <atomic>
#include <filesystem>
#include <thread>

#include "UiFixture.h"
#include "app/AppController.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "settings/PreferenceKeys.h"
#include "shell/QtMainWindow.h"
#include "shell/QtUserInterface.h"
#include "shell/QtViewUtilities.h"
#include "support/cycle/CycleFixture.h"
#include "ui/AlertTable.h"
#include "ui/PreferenceFiles.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::processEventsUntil;

class WindowsTest : public test::UiFixture {};

QColor textColour(const QWidget* w, QPalette::ColorRole role = QPalette::WindowText) {
    return w->palette().color(role);
}

TEST_F(WindowsTest, FieldUpdatesAndTransferProgressFollowTheWindowRules) {
    QtUserInterface windows(*store, [] {});
    QtMainWindow* main = windows.mainWindow();
    struct Row {
        const char* what;
        bool mainShown;
        bool isError;
        const char* expectText;
        QColor expectColour;
    };
    const Row rows[] = {
        {"hidden main window ignores text and colour", false, true, "before", Qt::black},
        {"shown main window, status", true, false, "now", Qt::black},
        {"shown main window, error in red", true, true, "now", Qt::red},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        main->show();
        windows.ibUpdateFTPCallbackStatusTextField("before", false);
        processEventsUntil([&] { return main->ibFTPCallbackStatusField->text() == "before"; });
        main->setVisible(row.mainShown);
        windows.ibUpdateFTPCallbackStatusTextField("now", row.isError);
        QApplication::processEvents();
        EXPECT_EQ(main->ibFTPCallbackStatusField->text().toStdString(), row.expectText);
        EXPECT_EQ(textColour(main->ibFTPCallbackStatusField), row.expectColour);
    }

    // doWait from a worker thread: the text shows by the time the call returns.
    main->show();
    std::atomic<bool> done{false};
    QString seen;
    std::thread worker([&] {
        ibUpdateNSTextField(main->ibFileNameField, "Müller/B10_01.jpg", true, false, true);
        seen = main->ibFileNameField->text();
        done = true;
    });
    processEventsUntil([&] { return done.load(); });
    worker.join();
    EXPECT_EQ(seen, "Müller/B10_01.jpg");

    // Live transfer progress: bytes, rate and time left.
    const TransferProgress p{"Müller/B10_01.jpg", 3 << 20, 12 << 20, 1 << 20, 75};
    std::thread([&] { windows.showTransferProgress(p); }).join();
    windows.showWaitingCount(42);
    QApplication::processEvents();
    EXPECT_TRUE(main->transferBar_->isVisible());
    EXPECT_EQ(main->transferBar_->value(), 250);
    EXPECT_EQ(main->transferDetail_->text(),
              "Müller/B10_01.jpg: 3.0 MB of 12.0 MB at 1.0 MB/s, 1 min 15 s left");
    EXPECT_EQ(main->waitingLabel_->text(), "42 photos");
    windows.showTransferEnded();
    QApplication::processEvents();
    EXPECT_FALSE(main->transferBar_->isVisible());
}

TEST_F(WindowsTest, TheLockEnablesTheGroupsAndSaveAndCloseLocksOnlyValidSettings) {
    store->setObject(sUserLoginName, "anna");
    auto panel = makePanel();
    QWidget* nsbox1 = findSubView(panel->ibChangeablePref3View, "nsbox1");
    ASSERT_NE(nsbox1, nullptr);
    auto* minutes = nsbox1->findChild<QAbstractSpinBox*>();
    struct Row {
        int lock;
        bool checkOrders;
        bool accountEditable, ordersEditable;
    };
    const Row rows[] = {{0, true, false, false}, {1, false, true, false}, {1, true, true, true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.lock << row.checkOrders);
        store->setObject(sPrefDoCheckOrders, row.checkOrders);
        QApplication::processEvents();
        panel->forceLockedIcon(row.lock);
        EXPECT_EQ(panel->lockState(), row.lock);
        EXPECT_EQ(panel->loginField->isEnabled(), row.accountEditable);
        for (auto* button : panel->findChildren<QPushButton*>())  // reveal stays usable
            EXPECT_TRUE(button->isEnabled() || !button->property("imageName").isValid());
        EXPECT_EQ(minutes->isEnabled(), row.ordersEditable);
    }
    // Unlocked, turning order checks off (from anywhere) disables the box at once.
    store->setObject(sPrefDoCheckOrders, false);
    EXPECT_TRUE(processEventsUntil([&] { return !minutes->isEnabled(); }, std::chrono::seconds(5)));
    EXPECT_EQ(panel->ibPasswordField->echoMode(), QLineEdit::Password);

    // Save and Close holds the panel open, unlocked, while the settings are invalid.
    panel->show();
    for (bool valid : {false, true}) {
        SCOPED_TRACE(valid);
        settingsValid = valid;
        beeps = 0;
        panel->ibClickedOnSaveAndClose();
        EXPECT_EQ(panel->isVisible(), !valid);
        EXPECT_EQ(beeps, valid ? 0 : 1);
        EXPECT_EQ(panel->lockState(), valid ? 0 : 1);
        EXPECT_EQ(store->stringForKey(sUserLoginName), "anna");  // untouched fields stay
    }
}

TEST_F(WindowsTest, PathFieldColoursFollowTheStoreFromAnyThread) {
    auto panel = makePanel();
    QLineEdit* field = panel->ibMainWindowLocalSourcePath;
    for (bool valid : {true, false, true}) {
        SCOPED_TRACE(valid);
        std::thread([&] { store->setObject(sPrefIsValidLocalSourceUploadFolder, valid); }).join();
        QColor want = valid ? Qt::black : Qt::red;
        EXPECT_TRUE(processEventsUntil([&] { return textColour(field, QPalette::Text) == want; },
                                       std::chrono::seconds(5)));
    }
    std::thread([&] { store->setObject(sPrefLocalSourceUploadFolder, "/srv/photos"); }).join();
    EXPECT_TRUE(processEventsUntil([&] { return field->text() == "/srv/photos"; },
                                   std::chrono::seconds(5)));
}

TEST_F(WindowsTest, PreferenceFilesSaveAndLoadTheKeyList) {
    store->setObject(sUserLoginName, "anna");
    store->setObject(sUserLoginPassword, "s3cret");
    store->setObject(sPrefSecondsBetweenScans, 45);
    auto panel = makePanel();
    QtPreferencesPanel::nextChosenPath = QString::fromStdString((tmp / "event").string());
    panel->ibSavePrefToFile(panel->saveAndCloseButton);
    fs::path saved = tmp / "event.plist";
    ASSERT_TRUE(fs::exists(saved));
    EXPECT_EQ(fs::status(saved).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << "it holds the password";
    EXPECT_NE(test::readFile(saved).find("<string>anna</string>"), std::string::npos);

    struct Row {
        const char* what;
        std::string fileText;
        bool loads;
        const char* login;
        std::int64_t seconds;
    };
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    const Row rows[] = {
        {"some keys, one unknown",
         head + "<dict><key>userLoginName</key><string>ben</string><key>userLoginPassword</key>"
                "<string>hunter2</string><key>noSuchKey</key><true/></dict></plist>",
         true, "ben", 45},
        {"not a dictionary",
         head + "<array><string>userLoginName</string><string>carl</string></array></plist>", false,
         "anna", 45},
        {"not a property list", "userLoginName = dora", false, "anna", 45},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        store->setObject(sUserLoginName, "anna");
        test::writeFile(tmp / "load.plist", row.fileText);
        std::vector<std::string> log;
        EXPECT_EQ(loadPreferencesFromFile(*store, (tmp / "load.plist").string(), &log), row.loads);
        EXPECT_EQ(store->stringForKey(sUserLoginName), row.login);
        EXPECT_EQ(store->integerForKey(sPrefSecondsBetweenScans), row.seconds);
        EXPECT_FALSE(store->hasStoredValue("noSuchKey"));
        for (const std::string& line : log) EXPECT_EQ(line.find("hunter2"), std::string::npos);
        EXPECT_EQ(log.size(), row.loads ? prefKeyNameArray().size() : 0u);
    }
}

TEST_F(WindowsTest, FolderChoicesFollowTheRootVolumeAndUploadRules) {
    fs::create_directories(tmp / "hires");
    struct Row {
        const char* what;
        bool uploading, allowRoot;
        std::string chosen;
        const char* key;  // the chooser clicked
        std::string expectStored;
        const char* expectAlert;
    };
    const std::string old = "/old";
    const Row rows[] = {
        {"root refused", false, false, "/", sPrefKivHiResAlternatePath1, old, "NSAlertWindow_9008"},
        {"root allowed with a warning", false, true, "/", sPrefKivHiResAlternatePath1, "/",
         "NSAlertWindow_9009"},
        {"a plain folder", false, false, (tmp / "hires").string(), sPrefKivHiResAlternatePath1,
         (tmp / "hires").string(), nullptr},
        {"during an upload", true, false, (tmp / "hires").string(),
         sPrefLocalMasterMirrorSiteFolder, old, "NSAlertWindow_9003"},
    };
    auto panel = makePanel();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QtAlerts::shown.clear();
        uploading = row.uploading;
        store->setObject(row.key, old);
        store->setObject(sPrefAllowRootVolumeSelections, row.allowRoot);
        QtPreferencesPanel::nextChosenPath = QString::fromStdString(row.chosen);
        if (std::string(row.key) == sPrefKivHiResAlternatePath1)
            panel->ibClickedOnChangeKivSearchPath1(panel->saveAndCloseButton);
        else
            panel->ibClickedOnChangeLocalMirrorSiteFolder(panel->saveAndCloseButton);
        EXPECT_EQ(store->stringForKey(row.key), row.expectStored);
        ASSERT_EQ(QtAlerts::shown.size(), row.expectAlert ? 1u : 0u);
        if (row.expectAlert) {
            EXPECT_EQ(QtAlerts::shown.back().text.title,
                      lookUpAlert(resourceDirectory(), "English", kAlertTableName, row.expectAlert,
                                  "", "", nullptr)
                          ->title);
        }
        // During an upload no chooser opened, so its answer is still waiting.
        EXPECT_EQ(QtPreferencesPanel::nextChosenPath.has_value(), row.uploading);
    }
}

TEST_F(WindowsTest, AlertsComeFromTheLanguageTableOrTheFallbackPanel) {
    struct Row {
        std::vector<std::string> languages;
        std::string language;
        int result;
        std::string titleStart;
    };
    const Row rows[] = {
        {{"fr"}, "fr", -2, "Unable to Find Resource For:"},
        {{"en"}, "English", 1, "A whole disk"},
        {{"es", "en"}, "Spanish", 1, "No se puede"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.language);
        QtAlerts::preferredLanguages = row.languages;
        QtAlerts::shown.clear();
        EXPECT_EQ(QtAlerts::language(), row.language);
        EXPECT_EQ(QtAlerts::myNSRunAlertPanel(kAlertTableName, "NSAlertWindow_9008"), row.result);
        ASSERT_EQ(QtAlerts::shown.size(), 1u);
        const AlertText& shown = QtAlerts::shown.back().text;
        EXPECT_EQ(shown.title.rfind(row.titleStart, 0), 0u) << shown.title;
        if (row.result == -2) {
            EXPECT_EQ(shown.message,
                      "name.strings = \"myLocalDictionary\"\rkey = \"NSAlertWindow_9008\"");
        }
    }
    // "%@" takes the arguments in order.
    test::writeFile(tmp / "English.lproj" / "t.strings",
                    "<plist version=\"1.0\"><dict><key>B</key><dict>"
                    "<key>mesg</key><string>%@ and %@</string></dict></dict></plist>");
    EXPECT_EQ(lookUpAlert(tmp.str(), "English", "t", "B", "x", "y", nullptr)->message, "x and y");
}

// On the loop's virtual clock: a person at the shown window gets 30 s before the auto-start.
TEST_F(WindowsTest, TheAutoStartWaitsLongerWhileTheMainWindowIsShownAndNeverWhenOff) {
    struct Row {
        const char* what;
        bool autoStart, shown;
        std::optional<int> startsAfterSeconds;
    };
    const Row rows[] = {{"window shown", true, true, 30},
                        {"window hidden", true, false, 10},
                        {"auto-start off", false, true, std::nullopt}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        store->setObject(sPrefAutoStartUploadAtStartup, row.autoStart);
        RunLoop loop(RunLoop::Time::Virtual);
        NotificationCenter center;
        QtUserInterface windows(*store, [] {});
        windows.mainWindow()->setVisible(row.shown);
        AppController::Dependencies deps;
        deps.center = &center;
        deps.mainThread = &loop;
        deps.ui = &windows;
        AppController controller(deps);
        windows.setController(&controller);
        LaunchOptions launch;
        launch.headless = false;
        controller.applicationDidFinishLaunching(launch);
        TimerPtr timer = controller.autoStartTimer();
        if (!row.startsAfterSeconds) {
            EXPECT_FALSE(timer);
            continue;
        }
        ASSERT_TRUE(timer);
        loop.advance(std::chrono::seconds(*row.startsAfterSeconds) - std::chrono::milliseconds(10));
        EXPECT_TRUE(timer->isValid());
        loop.advance(std::chrono::milliseconds(20));
        EXPECT_FALSE(timer->isValid());
    }
}

// A pass brings a main window the user closed back to the front; one the program was started
// without stays away until a person asks for it.
TEST_F(WindowsTest, APassBringsTheMainWindowBackUnlessTheProgramRunsHidden) {
    fs::create_directories(tmp / "Upload");
    fs::create_directories(tmp / "Mirror");
    store = test::cyclePreferences(tmp / "prefs.plist", tmp / "Upload", tmp / "Mirror");
    for (bool runsHidden : {false, true}) {
        SCOPED_TRACE(runsHidden);
        RunLoop loop;
        NotificationCenter center;
        QtUserInterface windows(*store, [] {});
        windows.setRunsHidden(runsHidden);
        AppController::Dependencies deps;
        deps.center = &center;
        deps.mainThread = &loop;
        deps.ui = &windows;
        AppController controller(deps);
        EXPECT_TRUE(controller.applicationOpenFile((tmp / "Upload").string()));
        QApplication::processEvents();
        EXPECT_EQ(windows.mainWindow()->isVisible(), !runsHidden);
        // Asked for by a person (tray, `vornctl show`, a second launch): shown, and from then on
        // it comes back.
        windows.showMainWindow();
        windows.mainWindow()->setHidesOnClose(true);  // as with a tray
        windows.mainWindow()->close();
        EXPECT_FALSE(windows.mainWindow()->isVisible());
        windows.bringMainWindowForward();
        QApplication::processEvents();
        EXPECT_TRUE(windows.mainWindow()->isVisible());
    }
}

// 1 brings the relaunched instance to the front, 1049344 starts it hidden.
TEST_F(WindowsTest, TheRelaunchFlagsSayWhetherTheMainWindowWasShownAndActive) {
    QtUserInterface windows(*store, [] {});
    QtMainWindow* main = windows.mainWindow();
    struct Row {
        bool shown, active;
        std::uint32_t flags;
    };
    const Row rows[] = {{true, true, 1}, {true, false, 1049344}, {false, false, 1049344}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.shown << row.active);
        QWidget other;  // another program's window stands for the focus being elsewhere
        other.show();
        main->setVisible(row.shown);
        (row.active ? static_cast<QWidget*>(main) : &other)->activateWindow();
        QApplication::processEvents();
        ASSERT_EQ(QApplication::activeWindow() == main, row.active);
        EXPECT_EQ(windows.relaunchFlags(), row.flags);
    }
}

}  // namespace
}  // namespace vorn
