// The upload cycle end to end through the real notification chain: real folders and files, a
// scripted uploader in place of the service, the controller's own handlers filing each item.

#include <gtest/gtest.h>

#include <filesystem>

#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "platform/Utf8.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/OtherFileSystem.h"
#include "support/TempDir.h"
#include "support/cycle/CycleFixture.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

using UploadCycleTest = test::CycleFixture;
using test::writeFile;

Dictionary reply(std::optional<long> code, std::optional<std::string> status,
                 std::optional<std::string> message = std::nullopt, bool networkError = false) {
    Dictionary d;
    if (code) d[httpStatusCode] = static_cast<std::int64_t>(*code);
    if (status) d[httpOurCustomStatus] = *status;
    if (message) d[httpOurCustomMessage] = *message;
    if (networkError) d[httpError] = makeErrorValue("Could not connect to server");
    return d;
}

enum class Place { Mirror, Problem, Source };

TEST_F(UploadCycleTest, EachReplyFilesTheItemAndItsMovieAndDecidesWhetherTheCycleGoesOn) {
    struct Row {
        const char* what;
        Dictionary reply;
        bool thenOk;  // the item is tried again, and then accepted
        Place place;
        bool stopped;  // the cycle stopped after the item
        const char* errorShown;
    };
    const auto none = std::nullopt;
    const std::vector<Row> rows = {
        {"OK", reply(200, "OK", "Got it"), false, Place::Mirror, false, nullptr},
        {"no status, no code", reply(none, none), false, Place::Mirror, false, nullptr},
        {"Warning", reply(200, "Warning", "Bad e-mail"), false, Place::Problem, false,
         "Bad e-mail"},
        {"code 500", reply(500, none), false, Place::Problem, false,
         "HTTP Server Returned Status Code: 500"},
        {"FAIL, No Email Addresses Sent", reply(200, "FAIL", "no email addresses sent"), false,
         Place::Problem, false, nullptr},
        {"ERROR", reply(200, "ERROR", "Account locked"), false, Place::Source, true,
         "Account locked"},
        {"ERROR with code 500", reply(500, "ERROR", "Down"), false, Place::Problem, true, "Down"},
        {"FAIL then OK", reply(200, "FAIL", "Try later"), true, Place::Mirror, false, nullptr},
        {"code 503 (a passing outage) then OK", reply(503, "OK", "Upload successful"), true,
         Place::Mirror, false, "HTTP Server Returned Status Code: 503"},
        {"network error then OK", reply(none, none, none, true), true, Place::Mirror, false,
         "no reply from the service: Could not connect to server"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();

        photo("client/IMG_0001.jpg", "photo bytes");
        photo("client/IMG_0001.mov", "movie bytes");
        uploader->script({row.reply, reply(200, "OK")});

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());

        fs::path base = row.place == Place::Mirror    ? mirror
                        : row.place == Place::Problem ? problem
                                                      : source;
        EXPECT_EQ(test::readFile(base / "client/IMG_0001.jpg"), "photo bytes");
        EXPECT_EQ(test::readFile(base / "client/IMG_0001.mov"), "movie bytes");
        // Exactly one copy of each: nothing lost, nothing doubled.
        for (const fs::path& other : {source, mirror, problem}) {
            if (other == base) continue;
            EXPECT_FALSE(fs::exists(other / "client/IMG_0001.jpg")) << other;
            EXPECT_FALSE(fs::exists(other / "client/IMG_0001.mov")) << other;
        }
        EXPECT_EQ(uploader->uploadedItems().size(), row.thenOk ? 2u : 1u);
        EXPECT_EQ(scanner->passes(), row.stopped ? 1 : row.thenOk ? 3 : 2);
        EXPECT_FALSE(controller->startedUploadProcess());
        EXPECT_FALSE(controller->isScanning());
        EXPECT_FALSE(controller->didHaltProcess());
        EXPECT_EQ(controller->needsToRescan(), 0);
        if (row.errorShown) {
            EXPECT_GE(ui.count("callback-error", row.errorShown), 1);
        }
        // Every result record was emptied by the clean-up, except the one of a stop.
        auto results = uploader->resultRecords();
        for (size_t i = 0; i < results.size(); ++i) {
            bool stopRecord = row.stopped && i + 1 == results.size();
            EXPECT_EQ(results[i]->empty(), !stopRecord) << "result " << i;
        }
    }
}

TEST_F(UploadCycleTest, APauseDuringAnUploadTakesEffectWhenThatUploadIsDone) {
    struct Row {
        const char* what;
        void (AppController::*request)();
    };
    for (const Row& row : {Row{"Halt button", &AppController::ibClickedOnHalt},
                           Row{"forced pause", &AppController::forceProcessToPause}}) {
        SCOPED_TRACE(row.what);
        reset();
        photo("client/a.jpg", "a");
        photo("client/b.jpg", "b");
        bool pausedDuringUpload = false;
        uploader->onUpload([&](const Dictionary&) -> std::optional<Dictionary> {
            if (pausedDuringUpload) return std::nullopt;
            pausedDuringUpload = true;
            (controller.get()->*row.request)();
            EXPECT_TRUE(controller->wantsToHaltProcess());
            EXPECT_FALSE(controller->didHaltProcess());  // not before the upload is done
            return std::nullopt;
        });

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());

        // The item in flight is filed by its reply; nothing else starts.
        EXPECT_TRUE(fs::exists(mirror / "client/a.jpg"));
        EXPECT_TRUE(fs::exists(source / "client/b.jpg"));
        EXPECT_EQ(scanner->passes(), 1);
        EXPECT_TRUE(controller->didHaltProcess());
        EXPECT_EQ(ui.last("button"), "Resume");
        EXPECT_EQ(ui.last("callback"), "Process Paused...");
        EXPECT_FALSE(controller->startedUploadProcess());

        // A request to synchronise while paused changes nothing; resuming drains the rest.
        controller->ibClickedOnHalt();
        ASSERT_TRUE(waitForRest());
        EXPECT_FALSE(controller->didHaltProcess());
        EXPECT_FALSE(controller->wantsToHaltProcess());
        EXPECT_TRUE(fs::exists(mirror / "client/b.jpg"));
        EXPECT_EQ(uploader->uploadedItems(),
                  (std::vector<std::string>{"client/a.jpg", "client/b.jpg"}));
    }
}

TEST_F(UploadCycleTest, ScanRequestsThatArriveDuringAScanOpenExactlyOneMorePass) {
    for (int requests : {1, 2}) {
        SCOPED_TRACE(requests);
        reset();
        scanner->closeGate();
        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(loop.runUntil([&] { return scanner->waitingAtGate(); }));

        for (int i = 0; i < requests; ++i)
            center.post(kScanFolderNotification, controller.get(),
                        makeScanRequest(source.string(), mirror.string(), "Prom 2026"));
        ASSERT_TRUE(loop.runUntil([&] { return controller->needsToRescan() == requests; }));
        EXPECT_EQ(scanner->passes(), 1);  // the requests did not scan

        scanner->openGate();
        ASSERT_TRUE(waitForRest());

        // The first scan found nothing; on its way out it opened exactly one pass for the
        // requests it had turned away, and that pass opened no further one.
        EXPECT_EQ(scanner->passes(), 2);
        EXPECT_EQ(controller->needsToRescan(), 0);
        EXPECT_FALSE(controller->isScanning());
    }
}

TEST_F(UploadCycleTest, SettingsAreCheckedBeforeAPassAndEachFailureBeepsOnce) {
    struct Row {
        const char* what;
        std::optional<std::string> mirrorFolder;  // nullopt: leave as set up
        std::optional<std::string> eventName;
        std::optional<std::string> user;
        std::optional<std::string> password;
        bool valid;
        std::string eventStoredAfter;  // the event name is trimmed only when it was checked
    };
    const std::string bogus = (tmp / "no such folder").string();
    const std::vector<Row> rows = {
        {"all valid", std::nullopt, "  Prom 2026 \n", std::nullopt, std::nullopt, true,
         "Prom 2026"},
        {"mirror missing: event not looked at", bogus, "  Prom  ", std::nullopt, std::nullopt,
         false, "  Prom  "},
        {"event placeholder", std::nullopt, "TurnOnCheckBoxIfUsingThisOPTION", std::nullopt,
         std::nullopt, false, "TurnOnCheckBoxIfUsingThisOPTION"},
        {"event empty", std::nullopt, "   ", std::nullopt, std::nullopt, false, ""},
        {"empty password", std::nullopt, "Prom", std::nullopt, "", false, "Prom"},
        {"empty user", std::nullopt, "Prom", "", std::nullopt, false, "Prom"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ui.clear();
        store->setObject(sPrefLocalMasterMirrorSiteFolder,
                         row.mirrorFolder.value_or(mirror.string()));
        store->setObject(sUserEnteredEventName, *row.eventName);
        store->setObject(sUserLoginName, row.user.value_or("photog"));
        store->setObject(sUserLoginPassword, row.password.value_or("secret"));

        EXPECT_EQ(controller->validateUserInfoBeforeUploading(std::nullopt), row.valid);
        EXPECT_EQ(ui.count("beep"), row.valid ? 0 : 1);
        EXPECT_EQ(store->stringForKey(sUserEnteredEventName).value_or(""), row.eventStoredAfter);
    }
}

TEST_F(UploadCycleTest, NoUploadNorPassStartsWhileAnUploadIsInFlightOrForAMissingFolder) {
    photo("client/a.jpg");
    EXPECT_TRUE(controller->applicationOpenFile((tmp / "nowhere").string()));
    controller->setStartedUploadProcess(true);
    EXPECT_FALSE(controller->applicationOpenFile(source.string()));
    center.post(kPrepareUploadStartNotification, controller.get(),
                makeRecord({{cDictKeyCurItem, "client/a.jpg"},
                            {cDictKeyLocalSourceUploadFolder, source.string()}}));
    controller->setStartedUploadProcess(false);
    ASSERT_TRUE(waitForRest());
    EXPECT_EQ(scanner->passes(), 0);
    EXPECT_TRUE(uploader->uploadedItems().empty());
    EXPECT_TRUE(fs::exists(source / "client/a.jpg"));
    EXPECT_FALSE(controller->isInsideOpenFile());
}

TEST_F(UploadCycleTest, FoldersThatOverlapAreRefusedHoweverTheyAreWritten) {
    fs::create_directories(source / "client");
    fs::create_directories(source / "Mirror");
    fs::create_directories(mirror / "Upload");
    fs::create_directories(tmp / "Problem Folder" / "in");
    fs::create_symlink(source, tmp / "link");
    photo("client/a.jpg");
    struct Row {
        const char* what;
        fs::path sourceFolder, mirrorFolder;
    };
    const std::vector<Row> rows = {
        {"the same", source, source},
        {"mirror inside source", source, source / "Mirror"},
        {"source inside mirror", mirror / "Upload", mirror},
        {"the same through a link", source, tmp / "link"},
        {"source inside the problem folder", tmp / "Problem Folder" / "in", tmp / "M"},
    };
    fs::create_directories(tmp / "M");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ui.clear();
        store->setObject(sPrefLocalSourceUploadFolder, row.sourceFolder.string());
        store->setObject(sPrefLocalMasterMirrorSiteFolder, row.mirrorFolder.string());
        EXPECT_FALSE(controller->validateUserInfoBeforeUploading(std::nullopt));
        const std::string shown = ui.last("callback-error");
        EXPECT_NE(shown.find("[" + row.sourceFolder.string() + "]"), std::string::npos) << shown;
        EXPECT_NE(shown.find("folder ["), shown.rfind("folder [")) << "names both: " << shown;

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        EXPECT_TRUE(uploader->uploadedItems().empty());
        EXPECT_EQ(test::readFile(source / "client/a.jpg"), "JPEG bytes");
    }
    store->setObject(sPrefLocalSourceUploadFolder, source.string());
    store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror.string());
    EXPECT_TRUE(controller->validateUserInfoBeforeUploading(std::nullopt));
}

bool holdsMoveTemporaries(const fs::path& folder) {
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.path().filename().string().rfind(".vorn-move-", 0) == 0) return true;
    return false;
}

TEST_F(UploadCycleTest, APhotoThatCannotBeFiledIsNeverSentAgainAndIsFiledOnceThereIsRoom) {
    struct Row {
        const char* what;
        Dictionary reply;
        bool toProblem;
        const char* where;
    };
    const std::vector<Row> rows = {
        {"accepted, mirror folder full", reply(200, "OK"), false, "mirror folder"},
        {"set aside, problem folder full", reply(200, "Warning", "w"), true, "problem folder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        // Mirror and problem folder on a small disk of their own, nearly full.
        test::SmallFileSystem site(tmp / "Site", 1 << 20);
        if (!site.available()) {
            std::fprintf(stderr, "\n*** FULL-DISK TEST NOT RUN: %s ***\n\n", site.whyNot().c_str());
            GTEST_SKIP() << site.whyNot();
        }
        fs::create_directories(mirror / "client");
        writeFile(tmp / "Site" / "filler", std::string(900 * 1024, 'f'));
        const std::string big(300 * 1024, 'p');
        photo("client/a.jpg", big);
        photo("client/a.mov", "movie a");
        photo("client/b.jpg", "b");
        uploader->script({row.reply, row.reply});
        const fs::path dest = row.toProblem ? problem : mirror;

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        // Sent once; the photo after it went out and was filed all the same.
        EXPECT_EQ(uploader->uploadedItems(),
                  (std::vector<std::string>{"client/a.jpg", "client/b.jpg"}));
        EXPECT_EQ(test::readFile(source / "client/a.jpg"), big);
        EXPECT_EQ(test::readFile(dest / "client/b.jpg"), "b");
        EXPECT_GE(ui.count("callback-error", std::string("could not file a.jpg in the ") +
                                                 row.where + ": No space left on device"),
                  1);
        EXPECT_FALSE(holdsMoveTemporaries(tmp / "Site"));

        // Restarted, and still no room: the photo is not sent again.
        startController();
        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        EXPECT_TRUE(uploader->uploadedItems().empty());
        EXPECT_TRUE(fs::exists(source / "client/a.jpg"));

        // Room again: the next pass files photo and movie, and sends nothing.
        fs::remove(tmp / "Site" / "filler");
        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        EXPECT_TRUE(uploader->uploadedItems().empty());
        EXPECT_EQ(test::readFile(dest / "client/a.jpg"), big);
        EXPECT_EQ(test::readFile(dest / "client/a.mov"), "movie a");
        EXPECT_FALSE(fs::exists(source / "client/a.jpg"));
        EXPECT_FALSE(fs::exists(source / "client/a.mov"));
        EXPECT_FALSE(holdsMoveTemporaries(tmp / "Site"));
    }
}

TEST_F(UploadCycleTest, ASetAsideNameTooLongForTheDiskIsShortenedAndTheQueueMovesOn) {
    std::string stem = "a";
    while (stem.size() < 251) stem += "\xC3\xA9";  // "e" with an accent, two bytes
    const std::string name = stem + ".jpg";        // 255 bytes, the most a name may have
    writeFile(problem / "client" / name, "older");
    photo("client/" + name, "new");
    photo("client/" + stem + ".mov", "movie");
    photo("client/z.jpg", "z");
    uploader->script({reply(200, "Warning", "w")});

    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());

    EXPECT_EQ(uploader->uploadedItems(),
              (std::vector<std::string>{"client/" + name, "client/z.jpg"}));
    EXPECT_FALSE(fs::exists(source / "client" / name));
    int filed = 0;
    for (const auto& e : fs::directory_iterator(problem / "client")) {
        const std::string n = e.path().filename().string();
        if (n == name) continue;
        ++filed;
        EXPECT_LE(n.size(), 255u);
        EXPECT_TRUE(isValidUtf8(n)) << n;
        EXPECT_EQ(test::readFile(e.path()), e.path().extension() == ".mov" ? "movie" : "new");
    }
    EXPECT_EQ(filed, 2);  // photo and movie, under one stem
}

TEST_F(UploadCycleTest, TemporariesOfMovesCutShortAreRemovedWhenTheProgramStarts) {
    writeFile(mirror / "client/.vorn-move-Ab12Cd", "half a photo");
    writeFile(problem / "x/.vorn-move-Zz99Yy", "half a movie");
    writeFile(mirror / "client/.vorn-moved-by-someone", "not ours");
    startController();  // a later run
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    EXPECT_FALSE(fs::exists(mirror / "client/.vorn-move-Ab12Cd"));
    EXPECT_FALSE(fs::exists(problem / "x/.vorn-move-Zz99Yy"));
    EXPECT_TRUE(fs::exists(mirror / "client/.vorn-moved-by-someone"));
}

}  // namespace
}  // namespace vorn
