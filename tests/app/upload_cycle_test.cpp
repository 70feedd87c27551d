// The upload cycle end to end through the real notification chain: real folders and files, a
// scripted uploader in place of the service, the controller's own handlers filing each item.
// The rescan timer, the pause and the retry waits run with the main thread's time under the
// test's control: nothing here waits for a real interval, but the Qt timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#if VORN_HAVE_SHELL
#include <QCoreApplication>
#include <QElapsedTimer>

#include "shell/QtMainThread.h"
#endif
#include "platform/Utf8.h"
#include "support/OtherFileSystem.h"
#include "support/Times.h"
#include "support/cycle/CycleFixture.h"
#include "upload/SentVersion.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using UploadCycleTest = test::CycleFixture;
using test::writeFile;

Dictionary reply(std::optional<long> code, std::optional<std::string> status,
                 std::optional<std::string> message = std::nullopt) {
    Dictionary d;
    if (code) d[httpStatusCode] = static_cast<std::int64_t>(*code);
    if (status) d[httpOurCustomStatus] = *status;
    if (message) d[httpOurCustomMessage] = *message;
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
        // The status words decide whatever their case.
        {"WARNING", reply(200, "WARNING", "Bad e-mail"), false, Place::Problem, false,
         "Bad e-mail"},
        {"Error", reply(200, "Error", "Account locked"), false, Place::Source, true,
         "Account locked"},
        {"fail, No Email Addresses Sent", reply(200, "fail", "No Email Addresses Sent"), false,
         Place::Problem, false, nullptr},
        {"code 503 (a passing outage) then OK", reply(503, "OK", "Upload successful"), true,
         Place::Mirror, false, "HTTP Server Returned Status Code: 503"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        photo("client/IMG_0001.jpg", "photo bytes");
        photo("client/IMG_0001.mov", "movie bytes");
        uploader->script({row.reply, reply(200, "OK")});
        ASSERT_TRUE(synchronize());

        const fs::path base = std::vector{mirror, problem, source}[static_cast<int>(row.place)];
        EXPECT_EQ(test::readFile(base / "client/IMG_0001.jpg"), "photo bytes");
        EXPECT_EQ(test::readFile(base / "client/IMG_0001.mov"), "movie bytes");
        // Exactly one copy of each: nothing lost, nothing doubled.
        for (const fs::path& folder : {source, mirror, problem})
            for (const char* file : {"client/IMG_0001.jpg", "client/IMG_0001.mov"})
                EXPECT_EQ(fs::exists(folder / file), folder == base) << folder / file;
        EXPECT_EQ(uploader->uploadedItems().size(), row.thenOk ? 2u : 1u);
        EXPECT_EQ(scanner->passes(), row.stopped ? 1 : row.thenOk ? 3 : 2);
        EXPECT_EQ(controller->flags().needsToRescan(), 0);
        EXPECT_TRUE(!row.errorShown || ui.count("callback-error", row.errorShown) > 0)
            << ui.last("callback-error");
    }
}

TEST_F(UploadCycleTest, APhotoOnlyTouchedWhileItWasSentIsFiledOnceTheBytesDecide) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> meanwhile;  // while the photo goes out
        std::size_t uploads;
        std::string filed;  // what the mirror holds at the end
    };
    const std::vector<Row> rows = {
        {"its date set from the capture date",
         [](const fs::path& p) { test::setModificationTime(p, test::utc(2026, 12, 6, 9, 0, 0)); },
         1, "photo bytes"},
        {"saved anew with other bytes", [](const fs::path& p) { writeFile(p, "edited bytes"); }, 2,
         "edited bytes"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        photo("client/a.jpg", "photo bytes");
        const fs::path path = source / "client/a.jpg";
        bool first = true;
        uploader->onUpload([&](const Dictionary&) -> std::optional<Dictionary> {
            // The uploader's own account of what it sent, then the change.
            SentVersion sent{*FileStamp::of(path.string()), fileChecksum(path.string())};
            if (first) row.meanwhile(path);
            first = false;
            return Dictionary{{httpStatusCode, 200},
                              {httpOurCustomStatus, "OK"},
                              {httpSentVersion, sentVersionValue(sent)}};
        });
        ASSERT_TRUE(synchronize());
        EXPECT_EQ(uploader->uploadedItems().size(), row.uploads);
        EXPECT_EQ(test::readFile(mirror / "client/a.jpg"), row.filed);
        EXPECT_FALSE(fs::exists(path));
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
        ASSERT_TRUE(loop.runUntil([&] { return controller->flags().needsToRescan() == requests; }));
        EXPECT_EQ(scanner->passes(), 1);  // the requests did not scan

        scanner->openGate();
        ASSERT_TRUE(waitForRest());

        // The first scan found nothing; on its way out it opened exactly one pass for the
        // requests it had turned away, and that pass opened no further one.
        EXPECT_EQ(scanner->passes(), 2);
        EXPECT_EQ(controller->flags().needsToRescan(), 0);
        EXPECT_FALSE(controller->flags().isScanning());
    }
}

bool holdsMoveTemporaries(const fs::path& folder) {
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.path().filename().string().rfind(".vorn-move-", 0) == 0) return true;
    return false;
}

// The problem folder's full disk is the cycle model's (tests/app/cycle_model_test.cpp).
TEST_F(UploadCycleTest, APhotoThatCannotBeFiledIsNeverSentAgainAndIsFiledOnceThereIsRoom) {
    // The mirror on a small disk of its own, nearly full.
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
    uploader->script({reply(200, "OK"), reply(200, "OK")});

    ASSERT_TRUE(synchronize());
    // Sent once; the photo after it went out and was filed all the same.
    EXPECT_EQ(uploader->uploadedItems(),
              (std::vector<std::string>{"client/a.jpg", "client/b.jpg"}));
    EXPECT_EQ(test::readFile(source / "client/a.jpg"), big);
    EXPECT_EQ(test::readFile(mirror / "client/b.jpg"), "b");
    EXPECT_GE(ui.count("callback-error",
                       "could not file a.jpg in the mirror folder: No space left on device"),
              1);
    EXPECT_FALSE(holdsMoveTemporaries(tmp / "Site"));

    // Restarted, and still no room: the photo is not sent again.
    startController();
    ASSERT_TRUE(synchronize());
    EXPECT_TRUE(uploader->uploadedItems().empty());

    // Room again: the next pass files photo and movie, and sends nothing.
    fs::remove(tmp / "Site" / "filler");
    ASSERT_TRUE(synchronize());
    EXPECT_TRUE(uploader->uploadedItems().empty());
    EXPECT_EQ(test::readFile(mirror / "client/a.jpg"), big);
    EXPECT_EQ(test::readFile(mirror / "client/a.mov"), "movie a");
    EXPECT_FALSE(fs::exists(source / "client/a.jpg") || fs::exists(source / "client/a.mov"));
    EXPECT_FALSE(holdsMoveTemporaries(tmp / "Site"));
}

TEST_F(UploadCycleTest, ASetAsideNameTooLongIsShortened) {
    std::string stem = "a";
    while (stem.size() < 251) stem += "\xC3\xA9";  // "e" with an accent, two bytes
    const std::string name = stem + ".jpg";        // 255 bytes, the most a name may have
    writeFile(problem / "client" / name, "older");
    photo("client/" + name, "new");
    photo("client/" + stem + ".mov", "movie");
    photo("client/z.jpg", "z");
    uploader->script({reply(200, "Warning", "w")});
    ASSERT_TRUE(synchronize());
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

class RescanTimerTest : public test::CycleFixture {
  public:
    RescanTimerTest() : CycleFixture(RunLoop::Time::Virtual) {}
};

TEST_F(RescanTimerTest, AnEmptyPassArmsOneTimerThatStartsTheNextPassOnItsInterval) {
    struct Row {
        const char* what;
        std::optional<double> stored;  // prefSecondsBetweenScans
        long expectedSeconds;          // 0: no timer, auto-synchronize is off
    };
    for (const Row& row :
         {Row{"unset", std::nullopt, 120}, Row{"300", 300.0, 300}, Row{"zero is raised", 0.0, 1},
          Row{"NaN falls back", std::nan(""), 120}, Row{"35 days", 3000000.0, 3000000},
          Row{"infinite is held to a year", HUGE_VAL, 31536000},
          Row{"auto-synchronize off", 60.0, 0}}) {
        SCOPED_TRACE(row.what);
        reset();
        store->setObject(sPrefAutoSynchronize, row.expectedSeconds != 0);
        if (row.stored) store->setObject(sPrefSecondsBetweenScans, *row.stored);

        ASSERT_TRUE(synchronize());
        TimerPtr first = controller->getRepeatTimer();
        // A pass by hand while the timer is armed disarms it; ending empty, it arms a fresh one.
        ASSERT_TRUE(synchronize());
        EXPECT_EQ(scanner->passes(), 2);
        if (row.expectedSeconds == 0) {
            EXPECT_FALSE(first || controller->getRepeatTimer());
            EXPECT_EQ(loop.validTimerCount(), 0u);
            EXPECT_EQ(ui.count("callback", "Next Auto"), 0);
            continue;
        }
        ASSERT_TRUE(first && controller->getRepeatTimer()->isValid());
        EXPECT_FALSE(first->isValid());
        std::string expected =
            "Next Auto-Synchronize Trigger Date = " +
            formatLocalTime(clock->now() + std::chrono::seconds(row.expectedSeconds),
                            "%Y-%m-%d %H:%M:%S") +
            "...";
        EXPECT_EQ(ui.last("callback").rfind(expected, 0), 0u) << ui.last("callback");

        photo("client/new.jpg");
        loop.advance(std::chrono::seconds(row.expectedSeconds) - 1ms);
        EXPECT_EQ(scanner->passes(), 2) << "fired early";
        loop.advance(1ms);
        ASSERT_TRUE(waitForRest());
        EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/new.jpg"});
        // The upload, then the empty pass that re-armed the timer.
        EXPECT_EQ(scanner->passes(), 4);
        EXPECT_EQ(loop.validTimerCount(), 1u);
    }
}

TEST_F(RescanTimerTest, APauseHoldsAgainstEveryTriggerUntilResumeOrUploadNow) {
    using Step = std::function<void(RescanTimerTest&)>;
    struct Row {
        const char* what;
        Step pause, trigger, resume;
    };
    const Step halt = [](RescanTimerTest& t) { t.controller->ibClickedOnHalt(); };
    const Step remotePause = [](RescanTimerTest& t) { t.controller->forceProcessToPause(); };
    const Step watcherEvent = [](RescanTimerTest& t) {
        t.center.post(kWatcherItemChanged, nullptr, nullptr);
    };
    const Step uploadNow = [](RescanTimerTest& t) { t.controller->uploadNow(); };
    const std::vector<Row> rows = {
        {"Halt button while idle, then synchronise, then Resume", halt,
         [](RescanTimerTest& t) { t.controller->ibUserClickedOnSynchronize(); }, halt},
        {"remote pause while idle, then a watcher event", remotePause, watcherEvent, uploadNow},
        {"remote pause while idle, then the timers", remotePause,
         [](RescanTimerTest& t) {
             t.controller->scheduleSettleRetry(1s);
             t.loop.advance(600s);
         },
         [](RescanTimerTest& t) { t.controller->ibClickedOnSynchronizeAgain(); }},
        // The pause arrives while the scan is choosing: no upload starts after it.
        {"pause during a scan",
         [](RescanTimerTest& t) {
             t.scanner->closeGate();
             t.controller->ibUserClickedOnSynchronize();
             ASSERT_TRUE(t.loop.runUntil([&] { return t.scanner->waitingAtGate(); }));
             t.controller->ibClickedOnHalt();
             t.scanner->openGate();
         },
         watcherEvent, uploadNow},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        store->setObject(sPrefAutoSynchronize, true);
        store->setObject(sPrefSecondsBetweenScans, 60.0);
        ASSERT_TRUE(synchronize());  // an empty pass arms the timer
        photo("client/a.jpg");
        row.pause(*this);
        ASSERT_TRUE(waitForRest());
        row.trigger(*this);
        ASSERT_TRUE(waitForRest());
        std::vector<std::string> sent = uploader->uploadedItems();
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "client/a.jpg"), 0);
        EXPECT_TRUE(controller->flags().didHaltProcess());
        EXPECT_EQ(ui.last("button"), "Resume");

        row.resume(*this);
        ASSERT_TRUE(waitForRest());
        EXPECT_FALSE(controller->flags().didHaltProcess());
        EXPECT_EQ(ui.last("button"), "Pause");
        sent.push_back("client/a.jpg");
        EXPECT_EQ(uploader->uploadedItems(), sent) << "each sent once";
    }
}

// Each failure is shown once, with a beep, and nothing goes until the settings hold again.
TEST_F(RescanTimerTest, SettingsAreCheckedBeforeAPassAndTheCycleStartsByItselfOnceTheyHold) {
    using Step = std::function<void(RescanTimerTest&)>;
    struct Row {
        const char* what;
        Step spoil, mend;
        std::string shown;
    };
    auto set = [](const char* key, std::string value) {
        return [=](RescanTimerTest& t) { t.store->setObject(key, value); };
    };
    const std::vector<Row> rows = {
        {"source folder on a disk mounted later",
         [](RescanTimerTest& t) {
             fs::remove_all(t.source);
             t.store->setObject(sUserEnteredEventName, "  Prom 2026 \n");
         },
         [](RescanTimerTest& t) {
             EXPECT_EQ(t.store->stringForKey(sUserEnteredEventName), "  Prom 2026 \n")
                 << "not looked at while a folder is missing";
             t.photo("client/a.jpg");
             t.loop.advance(60s);
         },
         "does not exist: connect its disk or choose another folder in Preferences"},
        {"event name entered later", set(sUserEnteredEventName, "   "),
         set(sUserEnteredEventName, "Prom 2026"), "No event name is set: enter it in Preferences"},
        {"event placeholder", set(sUserEnteredEventName, "TurnOnCheckBoxIfUsingThisOPTION"),
         set(sUserEnteredEventName, "Prom 2026"), "No event name"},
        {"empty password", set(sUserLoginPassword, ""), set(sUserLoginPassword, "pw"),
         "password is empty"},
        {"empty user", set(sUserLoginName, ""), set(sUserLoginName, "photog"),
         "login name is empty"},
        // Folders that overlap (each way they may is a row of the settings tests).
        {"mirror inside source",
         [](RescanTimerTest& t) {
             fs::create_directories(t.source / "Mirror");
             t.store->setObject(sPrefLocalMasterMirrorSiteFolder, (t.source / "Mirror").string());
         },
         set(sPrefLocalMasterMirrorSiteFolder, mirror.string()), "[" + source.string() + "]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        store->setObject(sPrefSecondsBetweenScans, 60.0);
        photo("client/a.jpg");
        row.spoil(*this);
        ASSERT_TRUE(synchronize());
        EXPECT_TRUE(controller->flags().isWaitingForSettings());
        EXPECT_NE(ui.last("callback-error").find(row.shown), std::string::npos)
            << ui.last("callback-error");
        loop.advance(120s);  // quiet looks while nothing changed
        ASSERT_TRUE(waitForRest());
        EXPECT_EQ(ui.count("beep"), 1);
        EXPECT_TRUE(uploader->uploadedItems().empty());

        row.mend(*this);
        ASSERT_TRUE(waitForRest());
        EXPECT_FALSE(controller->flags().isWaitingForSettings());
        EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/a.jpg"});
        EXPECT_EQ(store->stringForKey(sUserEnteredEventName), "Prom 2026");  // trimmed
    }
}

TEST_F(RescanTimerTest, APhotoThatFailsWaitsBeforeEachTryWhileTheOthersGo) {
    timings.firstRetryWait = 1s;
    const Dictionary fail = reply(200, "FAIL", "Server busy");
    Dictionary unreadable = fail;
    unreadable[httpReplyUnreadable] = true;
    auto code = [](long c, const char* retryAfter) {
        Dictionary d{{httpStatusCode, static_cast<std::int64_t>(c)}};
        if (*retryAfter)
            d[httpResponse] =
                Dictionary{{"allHeaderFields", Dictionary{{"retry-after", retryAfter}}}};
        return d;
    };
    struct Row {
        const char* what;
        Dictionary reply;   // for a.jpg
        std::size_t times;  // of that reply; 0: for good
        std::string shown;  // in red
        std::size_t tries;
        std::chrono::seconds minGap;  // between two tries of a.jpg
    };
    const Dictionary noReply{{httpError, makeErrorValue("Could not connect to server")}};
    const std::vector<Row> rows = {
        // 1 s doubling: tries at 0, 1, 3 and 7 s (and 15 s).
        {"FAIL for good", fail, 0, "service answered FAIL: Server busy", 4, 1s},
        {"unreadable reply for good", unreadable, 0, "unreadable reply", 4, 1s},
        {"no reply for good", noReply, 0, "no reply from the service: Could not connect", 4, 1s},
        {"503 twice with Retry-After 6", code(503, "6"), 2, "HTTP Server Returned Status Code: 503",
         3, 6s},
        {"429 once", code(429, ""), 1, "HTTP Server Returned Status Code: 429", 2, 1s},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        const bool forGood = row.times == 0;
        std::vector<std::chrono::steady_clock::time_point> tries;
        uploader->onUpload([&](const Dictionary& item) -> std::optional<Dictionary> {
            if (*stringForKey(item, cDictKeyCurItem) != "client/a.jpg") return std::nullopt;
            tries.push_back(loop.now());
            if (!forGood && tries.size() > row.times) return std::nullopt;
            return row.reply;
        });
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
            photo(std::string("client/") + name, name);

        ASSERT_TRUE(synchronize());
        for (auto t = 0ms; t < 14s; t += 250ms) {
            loop.advance(250ms);
            ASSERT_TRUE(waitForRest());
        }

        EXPECT_EQ(tries.size(), row.tries);
        for (std::size_t i = 1; i < tries.size(); ++i)
            EXPECT_GE(tries[i] - tries[i - 1], row.minGap);
        EXPECT_EQ(test::readFile((forGood ? source : mirror) / "client/a.jpg"), "a.jpg");
        // The photos after it were not held up, and went once.
        const std::vector<std::string> items = uploader->uploadedItems();
        for (const char* later : {"client/b.jpg", "client/c.jpg"}) {
            EXPECT_TRUE(fs::exists(mirror / later)) << later;
            EXPECT_EQ(std::count(items.begin(), items.end(), later), 1) << later;
        }
        // Each failure shown in red with its reason, never as a success.
        EXPECT_GE(ui.count("callback-error", row.shown), 1) << ui.last("callback-error");
        EXPECT_EQ(ui.count("outcome", "uploaded"), forGood ? 2 : 3);
        EXPECT_EQ(ui.count("outcome", "will retry"), static_cast<int>(tries.size()) - !forGood);
    }
}

// QTimer takes int milliseconds: longer intervals are armed in steps instead of wrapping round
// to a short (or negative) one.
#if VORN_HAVE_SHELL
TEST(QtTimerTest, LongTimersAreArmedInStepsAndFireOnceOnTime) {
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    struct Row {
        const char* what;
        std::chrono::milliseconds interval, step, watch;
        int fires;
    };
    const std::vector<Row> rows = {
        {"2^32 + 5 ms does not wrap round to 5 ms", std::chrono::milliseconds((1LL << 32) + 5),
         kLongestTimerStep, 200ms, 0},
        {"longer than a step: fires once, not before its time", 120ms, 25ms, 400ms, 1},
        {"negative: at once", -5ms, kLongestTimerStep, 100ms, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        QtMainThread mainThread(row.step);
        int fired = 0;
        auto start = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration firedAfter{};
        TimerPtr timer = mainThread.scheduleTimer(row.interval, false, [&] {
            ++fired;
            firedAfter = std::chrono::steady_clock::now() - start;
        });
        QElapsedTimer watch;
        watch.start();
        while (watch.elapsed() < row.watch.count()) app.processEvents(QEventLoop::AllEvents, 10);
        EXPECT_EQ(fired, row.fires);
        EXPECT_TRUE(!fired || firedAfter >= row.interval) << "fired early";
        EXPECT_EQ(timer->isValid(), row.fires == 0);
        timer->invalidate();
        app.processEvents();
    }
}
#endif

}  // namespace
}  // namespace vorn
