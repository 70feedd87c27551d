#pragma once
// Shared set-up of the window tests: one offscreen application for the whole run, a fresh
// preferences store per test, alerts answered by the test hook instead of a person.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstdlib>
#include <functional>

#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "shell/QtAlerts.h"
#include "shell/QtPreferencesPanel.h"
#include "support/TempDir.h"

namespace vorn::test {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);  // for the whole run
        QApplication::setQuitOnLastWindowClosed(false);
    }
};

// One application for every test of the run, whichever file it is in.
inline ::testing::Environment* const gQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// Runs the event loop until done() holds or the timeout passes.
inline bool processEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeout.count()) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

class UiFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        store = std::make_shared<PreferencesStore>((tmp / "prefs.plist").string());
        Preferences::setStore(store);
        QtAlerts::nextAnswer = 1;
        QtAlerts::shown.clear();
        QtAlerts::preferredLanguages = std::vector<std::string>{"en"};
        QtPreferencesPanel::nextChosenPath.reset();
    }
    void TearDown() override {
        QtAlerts::nextAnswer.reset();
        QtAlerts::preferredLanguages.reset();
        QtPreferencesPanel::nextChosenPath.reset();
    }

    // The panel, with the upload state and the validity of the settings under the test's control.
    std::unique_ptr<QtPreferencesPanel> makePanel() {
        QtPreferencesPanel::Actions actions;
        actions.uploadStarted = [this] { return uploading; };
        actions.saveLoginInfo = [this] { return settingsValid; };
        actions.beep = [this] { ++beeps; };
        actions.webDomain = "photos.example";
        return std::make_unique<QtPreferencesPanel>(*store, actions);
    }

    TempDir tmp;
    std::shared_ptr<PreferencesStore> store;
    bool uploading = false;
    bool settingsValid = true;
    int beeps = 0;
};

}  // namespace vorn::test
