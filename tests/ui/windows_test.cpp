// The windows' rules, offscreen: field updates, the preferences panel's lock, colours, folder
// choices and preference files, and the alerts.

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <atomic>
#include <filesystem>
#include <thread>

#include "UiFixture.h"
#include "app/AppController.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
#include "shell/QtMainWindow.h"
#include "shell/QtUserInterface.h"
#include "shell/QtViewUtilities.h"
#include "support/cycle/CycleFixture.h"
#include "ui/AlertTable.h"
#include "ui/PreferenceFiles.h"
#include "ui/ValueTransformers.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::processEventsUntil;

class WindowsTest : public test::UiFixture {};

QColor textColour(const QWidget* w, QPalette::ColorRole role = QPalette::WindowText) {
    return w->palette().color(role);
}

// The control a screen reader announces as name: how a person (and a test) finds it.
template <typename T>
T* control(QWidget* top, const QString& name) {
    for (T* w : top->findChildren<T*>())
        if (w->accessibleName() == name) return w;
    ADD_FAILURE() << "no control named " << name.toStdString();
    return nullptr;
}

TEST_F(WindowsTest, FieldUpdatesAndTransferProgressFollowTheWindowRules) {
    QtUserInterface windows(*store, [] {});
    QtMainWindow* main = windows.mainWindow();
    struct Row {
        bool mainShown, isError;
        const char* expectText;
        QColor expectColour;
    };
    // Hidden, the main window ignores text and colour; shown, an error is red.
    const Row rows[] = {{false, true, "before", Qt::black},
                        {true, false, "now", Qt::black},
                        {true, true, "now", Qt::red}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.mainShown << row.isError);
        main->show();
        windows.ibUpdateFTPCallbackStatusTextField("before", false);
        processEventsUntil([&] { return main->ibFTPCallbackStatusField->text() == "before"; });
        main->setVisible(row.mainShown);
        windows.ibUpdateFTPCallbackStatusTextField("now", row.isError);
        QApplication::processEvents();
        EXPECT_EQ(main->ibFTPCallbackStatusField->text().toStdString(), row.expectText);
        EXPECT_EQ(textColour(main->ibFTPCallbackStatusField), row.expectColour);
    }
    // A status longer than a line wraps, and the row grows to show all of it.
    QLabel* status = main->ibFTPCallbackStatusField;
    windows.ibUpdateFTPCallbackStatusTextField(
        "could not file IMG_0001.jpg in the mirror folder: No space left on device; it stays in "
        "the source folder until it can be filed",
        false);
    QApplication::processEvents();
    EXPECT_GE(status->height(), status->heightForWidth(status->width()));
    EXPECT_GT(status->heightForWidth(status->width()), status->fontMetrics().lineSpacing());

    // Waiting, from a worker thread: the text shows by the time the call returns. A maintenance
    // window takes its lines while hidden, unlike the main window.
    QtMaintenanceWindow maintenance;
    std::atomic<bool> done{false};
    QString seen;
    std::thread worker([&] {
        ibUpdateNSTextField(main->ibFileNameField, "Müller/B10_01.jpg", true, false, true);
        seen = main->ibFileNameField->text();
        maintenance.ibUpdateLine1TextField("Deleting the OLD Photos (older than 30 days)...", true);
        maintenance.ibUpdateLine2TextField("Ball/IMG_0001.jpg", true);
        done = true;
    });
    EXPECT_TRUE(processEventsUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(seen, "Müller/B10_01.jpg");
    EXPECT_FALSE(maintenance.window()->isVisible());
    EXPECT_EQ(maintenance.ibUtilFunctionName()->text(),
              "Deleting the OLD Photos (older than 30 days)...");
    EXPECT_EQ(maintenance.ibUtilStatus()->text(), "Ball/IMG_0001.jpg");

    // The busy indicator: "yes" in any case starts it, anything else stops and hides it.
    for (const auto& [word, running] : {std::pair{"yes", true},
                                        {"NO", false},
                                        {"Yes", true},
                                        {"", false},
                                        {"YES", true},
                                        {"maybe", false}}) {
        SCOPED_TRACE(word);
        ibUpdateProgressBar(main->ibProgressBar, word);
        QApplication::processEvents();
        EXPECT_EQ(main->ibProgressBar->isVisible(), running);
        EXPECT_EQ(main->ibProgressBar->maximum(), 0) << "indeterminate";
    }
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
    // All sent, the service still thinking: the bar full, no "0 s left".
    TransferProgress sent{"Müller/B10_01.jpg", 12 << 20, 12 << 20, 1 << 20, 0};
    sent.secondsWaitingForReply = 7.8;
    windows.showTransferProgress(sent);
    QApplication::processEvents();
    EXPECT_EQ(main->transferBar_->value(), 1000);
    EXPECT_EQ(main->transferDetail_->text(),
              "Müller/B10_01.jpg: 12.0 MB of 12.0 MB, waiting for the service's reply (7 s)");
    // One place for progress: the busy indicator gives way to the bytes, also when asked for
    // again while they show.
    windows.ibUpdateProgressBar(true);
    QApplication::processEvents();
    EXPECT_FALSE(main->ibProgressBar->isVisible());
    windows.showTransferEnded("Müller/B10_01.jpg");
    QApplication::processEvents();
    EXPECT_FALSE(main->transferBar_->isVisible());
    windows.ibUpdateProgressBar(true);
    QApplication::processEvents();
    EXPECT_TRUE(main->ibProgressBar->isVisible());

    // Where the photos go, live; the factory's event or account on a real service stands out.
    setupFactoryDefaults(*store, defaultFactoryDefaultsPath());
    struct Destination {
        const char *url, *event, *login, *shown;
        bool warned;
    };
    const Destination destinations[] = {
        {"http://127.0.0.1:8686/vorn", nullptr, nullptr,
         "127.0.0.1:8686, event \u201cDemo Event\u201d", false},
        {"https://photos.example/vorn", nullptr, nullptr,
         "photos.example, event \u201cDemo Event\u201d", true},
        {"https://photos.example/vorn", " Spring Ball ", "anna",
         "photos.example, event \u201cSpring Ball\u201d", false},
    };
    for (const Destination& d : destinations) {
        SCOPED_TRACE(d.shown);
        std::thread([&] {
            store->setObject(sPrefKivURL, d.url);
            if (d.event) store->setObject(sUserEnteredEventName, d.event);
            if (d.login) store->setObject(sUserLoginName, d.login);
        }).join();
        EXPECT_TRUE(processEventsUntil([&] { return main->serviceLabel_->text() == d.shown; },
                                       std::chrono::seconds(5)))
            << main->serviceLabel_->text().toStdString();
        EXPECT_EQ(main->serviceLabel_->toolTip().contains("still the factory default"), d.warned);
    }
}

TEST_F(WindowsTest, TheLockEnablesTheGroupsAndSaveAndCloseLocksOnlyValidSettings) {
    store->setObject(sUserLoginName, "anna");
    auto panel = makePanel();
    QWidget* nsbox1 = findSubView(panel->ibChangeablePref3View, "nsbox1");
    ASSERT_NE(nsbox1, nullptr);
    auto* minutes = nsbox1->findChild<QAbstractSpinBox*>();
    struct Row {
        int lock;
        bool checkOrders, accountEditable, ordersEditable;
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
    // The lock sounds when it moves, not when a state is applied again.
    QtAlerts::soundsAsked.clear();
    for (int state : {0, 0, 1, 1, 0}) panel->forceLockedIcon(state);
    EXPECT_EQ(QtAlerts::soundsAsked,
              (std::vector<std::string>{"lockClosing", "lockOpening", "lockClosing"}));
    panel->forceLockedIcon(1);

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

TEST_F(WindowsTest, PathFieldColoursFollowTheFoldersAndTheStoreFromAnyThread) {
    auto panel = makePanel();
    QLineEdit* field = panel->ibMainWindowLocalSourcePath;
    // Live: a path set from elsewhere shows; a folder that appears or vanishes turns the field
    // black or red within a rescan tick, with no tab selected.
    store->setObject(sPrefSecondsBetweenScans, 1);
    const fs::path folder = tmp / "Upload";
    const std::function<void()> steps[] = {
        [&] { store->setObject(sPrefLocalSourceUploadFolder, folder.string()); },
        [&] { fs::create_directories(folder); },
        [&] { fs::remove(folder); },
        [&] { fs::create_directories(folder); },
        [&] { store->setObject(sPrefLocalSourceUploadFolder, (tmp / "Elsewhere").string()); },
    };
    const bool exists[] = {false, true, false, true, false};
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        std::thread(steps[i]).join();
        QColor want = exists[i] ? Qt::black : Qt::red;
        EXPECT_TRUE(processEventsUntil(
            [&] {
                return textColour(field, QPalette::Text) == want &&
                       field->text().toStdString() ==
                           store->stringForKey(sPrefLocalSourceUploadFolder);
            },
            std::chrono::seconds(5)));
        EXPECT_EQ(store->boolForKey(sPrefIsValidLocalSourceUploadFolder), exists[i]);
    }
}

// The service settings have their controls; every value goes through the rule `vornctl config
// set` applies, with the rule beside a refused value and in the tool tip.
TEST_F(WindowsTest, EverySettingHasAControlCheckedByTheSameRuleAsConfigSet) {
    store->setObject(sPrefKivFuseAction, "upload.upload");
    auto panel = makePanel();
    panel->forceLockedIcon(1);
    panel->show();
    struct Row {
        const char *name, *key, *good;
        const char* bad;  // nullptr: the rule takes any text
    };
    const Row rows[] = {
        {"Upload operation", sPrefKivFuseAction, "upload.v2", ""},
        {"Caption", sPrefMetaData, "Spring Ball, table 4", nullptr},
        {"Order query operation", sPrefCheckHiResOrderFuseAction, "order.q2", ""},
        {"Hi-res upload operation", sPrefUploadHiResOrderFuseAction, "order.u2", ""},
        {"Service address", sPrefKivURL, "https://photos.example/vorn", "ftp://photos.example"},
        {"Login name", sUserLoginName, "anna", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* edit = control<QLineEdit>(panel.get(), row.name);
        ASSERT_NE(edit, nullptr);
        const QString rule = QString::fromStdString(preferenceRule(row.key)->rule);
        EXPECT_TRUE(edit->toolTip().contains(rule)) << edit->toolTip().toStdString();
        edit->setText(row.good);
        emit edit->editingFinished();
        EXPECT_EQ(store->stringForKey(row.key), row.good);
        auto* note = control<QLabel>(panel.get(), QString(row.name) + " refused");
        ASSERT_NE(note, nullptr);
        EXPECT_TRUE(note->isHidden());
        if (!row.bad) continue;
        beeps = 0;
        edit->setText(row.bad);
        emit edit->editingFinished();
        EXPECT_EQ(store->stringForKey(row.key), row.good) << "refused, the value stays";
        EXPECT_FALSE(note->isHidden());
        EXPECT_TRUE(note->text().contains(rule)) << note->text().toStdString();
        EXPECT_EQ(beeps, 1);
        store->setObject(row.key, std::string(row.good) + "x");  // from elsewhere: the note goes
        EXPECT_TRUE(processEventsUntil([&] { return note->isHidden(); }));
    }
    auto* baseIds = control<QCheckBox>(panel.get(), "Form base ids from file names");
    ASSERT_NE(baseIds, nullptr);
    baseIds->click();
    EXPECT_TRUE(store->boolForKey(sPrefFormBaseIdFromFileName));

    // Zero minutes of order checking is "every 10 s"; the spin boxes write through.
    auto* orders = control<QDoubleSpinBox>(panel.get(), "Check orders every");
    orders->setValue(0);
    EXPECT_EQ(orders->text(), "every 10 s");
    EXPECT_EQ(store->doubleForKey(sPrefMinutesForCheckOrders), 0.0);
    auto* rescan = control<QDoubleSpinBox>(panel.get(), "Rescan interval");
    rescan->setValue(0.5);
    EXPECT_EQ(store->doubleForKey(sPrefSecondsBetweenScans), 0.5);
}

TEST_F(WindowsTest, PreferenceFilesSaveAndLoadTheKeyList) {
    store->setObject(sUserLoginName, "anna");
    store->setObject(sUserLoginPassword, "s3cret");
    store->setObject(sPrefSecondsBetweenScans, 45);
    auto panel = makePanel();
    // The suffix is added where it is missing, never twice.
    for (const char* typed : {"event.plist", "event"}) {
        SCOPED_TRACE(typed);
        fs::remove(tmp / "event.plist");
        QtPreferencesPanel::nextChosenPath = QString::fromStdString((tmp / typed).string());
        panel->ibSavePrefToFile(panel->saveAndCloseButton);
        EXPECT_TRUE(fs::exists(tmp / "event.plist"));
        EXPECT_FALSE(fs::exists(tmp / "event.plist.plist"));
        EXPECT_FALSE(fs::exists(tmp / "event"));
    }
    const fs::path saved = tmp / "event.plist";
    EXPECT_EQ(fs::status(saved).permissions(), fs::perms::owner_read | fs::perms::owner_write)
        << "it holds the password";
    EXPECT_NE(test::readFile(saved).find("<string>anna</string>"), std::string::npos);

    struct Row {
        const char* what;
        std::string fileText;
        bool loads;
        const char* login;
    };
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    const Row rows[] = {
        {"some keys, one unknown",
         head + "<dict><key>userLoginName</key><string>ben</string><key>userLoginPassword</key>"
                "<string>hunter2</string><key>noSuchKey</key><true/></dict></plist>",
         true, "ben"},
        {"not a dictionary",
         head + "<array><string>userLoginName</string><string>carl</string></array></plist>", false,
         "anna"},
        {"not a property list", "userLoginName = dora", false, "anna"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        store->setObject(sUserLoginName, "anna");
        test::writeFile(tmp / "load.plist", row.fileText);
        std::vector<std::string> log;
        EXPECT_EQ(loadPreferencesFromFile(*store, (tmp / "load.plist").string(), &log), row.loads);
        EXPECT_EQ(store->stringForKey(sUserLoginName), row.login);
        EXPECT_EQ(store->integerForKey(sPrefSecondsBetweenScans), 45);  // not in the file
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
        // A code with a region has no table of its own: its language's serves.
        {{"en-US"}, "en-US", 1, "A whole disk"},
        {{"es_MX"}, "es_MX", 1, "No se puede"},
        {{"fr-CA"}, "fr-CA", -2, "Unable to Find Resource For:"},
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
    // "%@" takes the arguments in order; missing texts have their stand-ins.
    test::writeFile(tmp / "English.lproj" / "t.strings",
                    "<plist version=\"1.0\"><dict><key>B</key><dict><key>mesg</key><string>%@ and "
                    "%@</string></dict><key>C</key><dict><key>defaultButton</key><string>Go"
                    "</string></dict></dict></plist>");
    EXPECT_EQ(lookUpAlert(tmp.str(), "English", "t", "B", "x", "y", nullptr)->message, "x and y");
    std::optional<AlertText> bare = lookUpAlert(tmp.str(), "English", "t", "C", "", "", nullptr);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->title, "NO INFO");
    EXPECT_EQ(bare->message, "(No Further Info Given)");
    EXPECT_EQ(bare->defaultButton, "Go");
}

// The two transformers of the login name.
TEST_F(WindowsTest, TheLoginNameTransformersShowWhatWasTyped) {
    struct Shown {
        std::optional<std::string> login;
        std::string site, spaces;
    };
    const Shown shown[] = {
        {std::nullopt, kSiteUnknownText, kSiteUnknownText},
        {"", "Please Enter Your Login Name...", ""},
        {" a ", "http:// a .photos.example", "[ a ]"},
    };
    for (const Shown& row : shown) {
        SCOPED_TRACE(row.login.value_or("(none)"));
        EXPECT_EQ(loginNameToFtpName(row.login, "photos.example"), row.site);
        EXPECT_EQ(showSpaces(row.login), row.spaces);
    }
}

// On the loop's virtual clock: a person at the shown window gets 30 s before the auto-start.
TEST_F(WindowsTest, TheAutoStartWaitsLongerWhileTheMainWindowIsShownAndNeverWhenOff) {
    struct Row {
        bool autoStart, shown;
        std::optional<int> startsAfterSeconds;
    };
    for (const Row& row : {Row{true, true, 30}, Row{true, false, 10}, Row{false, true, {}}}) {
        SCOPED_TRACE(testing::Message() << row.autoStart << row.shown);
        store->setObject(sPrefAutoStartUploadAtStartup, row.autoStart);
        RunLoop loop(RunLoop::Time::Virtual);
        NotificationCenter center;
        QtUserInterface windows(*store, [] {});
        windows.mainWindow()->setVisible(row.shown);
        AppController controller({.center = &center, .mainThread = &loop, .ui = &windows});
        windows.setController(&controller);
        controller.applicationDidFinishLaunching({.headless = false});
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
        AppController controller({.center = &center, .mainThread = &loop, .ui = &windows});
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

// Keyboard and screen reader: each control says what it is, and the four commands have
// shortcuts.
TEST_F(WindowsTest, ControlsHaveNamesAndCommandsHaveShortcuts) {
    QtUserInterface windows(*store, [] {});
    QtMainWindow* main = windows.mainWindow();
    QtPreferencesPanel* panel = windows.preferencesPanel();
    main->show();
    panel->show();
    panel->forceLockedIcon(1);
    // Parts of a compound control (a spin box's editor, the tab bar's scroll arrows) are named
    // by the control itself.
    auto isPart = [](QWidget* w, QWidget* top) {
        for (QWidget* p = w->parentWidget(); p && p != top; p = p->parentWidget())
            if (qobject_cast<QAbstractSpinBox*>(p) || qobject_cast<QComboBox*>(p) ||
                qobject_cast<QTabBar*>(p) || qobject_cast<QMenuBar*>(p))
                return true;
        return false;
    };
    for (QWidget* top : std::initializer_list<QWidget*>{main, panel}) {
        for (QWidget* w : top->findChildren<QWidget*>()) {
            const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                                 qobject_cast<QComboBox*>(w) ||
                                 qobject_cast<QAbstractSpinBox*>(w) ||
                                 qobject_cast<QProgressBar*>(w) ||
                                 (qobject_cast<QLabel*>(w) && w->objectName().startsWith("ib"));
            if (!control || isPart(w, top)) continue;
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
            ASSERT_NE(a, nullptr);
            EXPECT_FALSE(a->text(QAccessible::Name).isEmpty())
                << w->metaObject()->className() << " " << w->objectName().toStdString() << " "
                << widgetTitle(w).toStdString();
        }
    }

    const std::tuple<const char*, const char*, void (QtMainWindow::*)()> commands[] = {
        {"Upload Now", "Ctrl+U", &QtMainWindow::synchronizeClicked},
        {"Pause/Resume", "Ctrl+P", &QtMainWindow::pauseResumeClicked},
        {"Preferences…", "Ctrl+,", &QtMainWindow::preferencesClicked},
        {"Quit", "Ctrl+Q", &QtMainWindow::quitClicked},
    };
    for (const auto& [text, keys, signal] : commands) {
        SCOPED_TRACE(text);
        QAction* action = nullptr;
        for (QAction* a : main->findChildren<QAction*>())
            if (a->text().remove('&') == text) action = a;
        ASSERT_NE(action, nullptr);
        EXPECT_EQ(action->shortcut(), QKeySequence(keys));
        int emitted = 0;
        auto connection = QObject::connect(main, signal, [&] { ++emitted; });
        action->trigger();
        QObject::disconnect(connection);
        EXPECT_EQ(emitted, 1);
    }
}

}  // namespace
}  // namespace vorn
