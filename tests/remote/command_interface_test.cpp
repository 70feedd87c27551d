// The command interface over a real preferences store in a temporary folder: what each request
// answers, what it stores (in memory and on disk), and what it refuses to store.

#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "remote/CommandInterface.h"
#include "settings/PreferenceKeys.h"
#include "settings/SettingsFixture.h"
#include "support/CapturedOutput.h"

namespace vorn {
namespace {

const char* kSuccess = "COMMAND SUCCESS";
const char* kFailed = "COMMAND FAILED";

Value texts(std::initializer_list<const char*> items) {
    Array a;
    for (const char* item : items) a.emplace_back(item);
    return Value(std::move(a));
}

class CommandInterfaceTest : public test::SettingsTest {
  protected:
    void SetUp() override { freshStore(); }

    // A new store over a new file, with a registered default the refused rows must not hide.
    void freshStore() {
        store = std::make_shared<PreferencesStore>(
            (dir / ("prefs" + std::to_string(++stores) + ".plist")).string());
        store->load();
        store->registerDefaults({{sPrefSecondsBetweenScans, 120}, {sUserLoginName, "vorn-test"}});
        Preferences::setStore(store);
    }

    int stores = 0;
};

TEST_F(CommandInterfaceTest, SetValueChecksConvertsAndWritesThrough) {
    struct Row {
        Value directObject;
        const char* reply;
        const char* key;  // where the value must (or must not) land
        Value stored;     // None: nothing stored under key
    };
    auto ok = [](Value list, const char* key, Value stored) {
        return Row{std::move(list), kSuccess, key, std::move(stored)};
    };
    auto no = [](Value list, const char* key) { return Row{std::move(list), kFailed, key, {}}; };
    const char* secs = sPrefSecondsBetweenScans;
    const char* days = sPrefDaysOldBeforeDeleting;
    const char* autoSync = sPrefAutoSynchronize;
    const Row rows[] = {
        ok(texts({"setValue", secs, "90"}), secs, 90.0),
        no(texts({"setValue", secs, "0"}), secs),
        no(texts({"setValue", secs, "abc"}), secs),
        // Stored as the single-precision number.
        ok(texts({"setValue", secs, "90.1"}), secs, static_cast<double>(90.1f)),
        // Numbers the store and the timers cannot use.
        no(texts({"setValue", secs, "inf"}), secs),
        ok(texts({"setValue", autoSync, "YES"}), autoSync, "YES"),
        no(texts({"setValue", sPrefDoUseDeleteOldPhotos, "y"}), sPrefDoUseDeleteOldPhotos),
        ok(texts({"setValue", days, "7.9"}), days, 7),
        no(texts({"setValue", days, "0.5"}), days),
        ok(texts({"setValue", sUserEnteredEventName, "Spring Gala"}), sUserEnteredEventName,
           "Spring Gala"),
        // A key outside the table, for set and get.
        no(texts({"setValue", "prefKivURL", "http://elsewhere.example/"}), sPrefKivURL),
        // Command word and key in any case; the key lands under its canonical name.
        ok(texts({"SETVALUE", "PREFSECONDSBETWEENSCANS", "30"}), secs, 30.0),
        // Lists the command cannot be read from.
        no(Value(Array{Value("setValue"), Value(7), Value("x")}), sUserLoginName),
        no(texts({"deleteValue", "userLoginName", "x"}), sUserLoginName),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.directObject.description());
        freshStore();
        EXPECT_EQ(CommandInterface::handleCommand(row.directObject),
                  AppleEventReply::withText(row.reply));
        EXPECT_EQ(store->storedValues(),
                  (row.stored.isNone() ? Dictionary{} : Dictionary{{row.key, row.stored}}));
        PreferencesStore reread(store->path());
        reread.load();
        EXPECT_EQ(reread.storedValues(), store->storedValues()) << "written through at once";
    }
}

TEST_F(CommandInterfaceTest, GetValueAnswersTheFourReadableKeys) {
    const std::pair<Value, AppleEventReply> rows[] = {
        // The registered default counts as a value; the key is answered as received.
        {texts({"GetValue", "PrefSecondsBetweenScans", ""}),
         {AppleEventReply::Kind::TextAndList,
          kSuccess,
          {"GetValue", "PrefSecondsBetweenScans", "120.00"}}},
        // Nothing stored and no default: success without data.
        {texts({"getValue", "userEnteredEventName", ""}), AppleEventReply::withText(kSuccess)},
        // A key that can be set but not read.
        {texts({"getValue", "prefDaysOldBeforeDeleting", ""}), AppleEventReply::withText(kFailed)},
    };
    for (const auto& [directObject, reply] : rows)
        EXPECT_EQ(CommandInterface::handleCommand(directObject), reply)
            << directObject.description();
}

TEST_F(CommandInterfaceTest, AStoreThatCannotBeWrittenKeepsItsValueAndAnswersFailed) {
    // A store whose folder cannot exist: its parent is a regular file.
    test::writeFile(dir / "plain-file", "x");
    store = std::make_shared<PreferencesStore>((dir / "plain-file" / "prefs.plist").string());
    store->setObject(sUserLoginName, "before");
    Preferences::setStore(store);

    EXPECT_EQ(CommandInterface::handleCommand(texts({"setValue", "userLoginName", "after"})),
              AppleEventReply::withText(kFailed));
    EXPECT_EQ(store->objectForKey(sUserLoginName), Value("before"));
    EXPECT_EQ(CommandInterface::handleCommand(texts({"setValue", "userEnteredEventName", "X"})),
              AppleEventReply::withText(kFailed));
    EXPECT_FALSE(store->hasStoredValue(sUserEnteredEventName));
}

TEST_F(CommandInterfaceTest, TheRequestsReachTheirActionsAndAnswerAsTheyShould) {
    std::string done;
    bool held = true;
    CommandInterface commands(RemoteActions{[&] { done += "upload-now "; },
                                            [&] { done += "pause "; },
                                            [&] {
                                                done += "resume ";
                                                return std::exchange(held, false);
                                            },
                                            [&] { done += "quit "; }});
    struct Row {
        const char* eventClass;
        const char* eventId;
        AppleEventReply reply;
        const char* action;
    };
    const Row rows[] = {
        {"vorn", "paus", AppleEventReply::withText("ACCEPTED"), "pause "},
        {"vorn", "upnw", AppleEventReply::withText("ACCEPTED"), "upload-now "},
        // Resume resumes what is held, and says so when nothing was.
        {"vorn", "resm", AppleEventReply::withText("ACCEPTED"), "resume "},
        {"vorn", "resm", AppleEventReply::withText("NOT PAUSED"), "resume "},
        {"aevt", "quit", AppleEventReply::none(), "quit "},
        {"aevt", "resm", {AppleEventReply::Kind::NotHandled, {}, {}}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.eventClass) + "/" + row.eventId);
        done.clear();
        EXPECT_EQ(commands.handleTestAEHandler({row.eventClass, row.eventId, Value()}), row.reply);
        EXPECT_EQ(done, row.action);
    }
}

TEST_F(CommandInterfaceTest, ThePasswordStaysOutOfTheLogs) {
    test::CapturedOutput err(STDERR_FILENO);
    CommandInterface::handleCommand(texts({"setValue", "userLoginPassword", "hunter2-secret"}));
    CommandInterface::handleCommand(texts({"getValue", "USERLOGINPASSWORD", ""}));
    const std::string logged = err.text();
    EXPECT_NE(logged.find("userLoginPassword"), std::string::npos) << "the requests are logged";
    EXPECT_EQ(logged.find("hunter2-secret"), std::string::npos) << logged;
    EXPECT_EQ(store->objectForKey(sUserLoginPassword), Value("hunter2-secret"));
}

}  // namespace
}  // namespace vorn
