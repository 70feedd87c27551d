// The rescan timer, the pause/resume toggle and the retry waits, with the main thread's time
// under the test's control: nothing here waits for a real interval, but the Qt timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#if VORN_HAVE_SHELL
#include <QCoreApplication>
#include <QElapsedTimer>

#include "ui/QtMainThread.h"
#endif
#include "support/cycle/CycleFixture.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

class RescanTimerTest : public test::CycleFixture {
  public:
    RescanTimerTest() : CycleFixture(RunLoop::Time::Virtual) {}
};

TEST_F(RescanTimerTest, AnEmptyPassArmsOneTimerThatStartsTheNextPassOnItsInterval) {
    struct Row {
        const char* what;
        std::optional<double> stored;  // prefSecondsBetweenScans
        long expectedSeconds;
    };
    for (const Row& row :
         {Row{"unset", std::nullopt, 120}, Row{"300", 300.0, 300}, Row{"zero is raised", 0.0, 1},
          Row{"NaN falls back", std::nan(""), 120}, Row{"35 days", 3000000.0, 3000000},
          Row{"infinite is held to a year", HUGE_VAL, 31536000}}) {
        SCOPED_TRACE(row.what);
        reset();
        store->setObject(sPrefAutoSynchronize, true);
        if (row.stored) store->setObject(sPrefSecondsBetweenScans, *row.stored);

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        EXPECT_EQ(scanner->passes(), 1);
        ASSERT_TRUE(controller->getRepeatTimer() && controller->getRepeatTimer()->isValid());
        std::string expected =
            "Next Auto-Synchronize Trigger Date = " +
            formatLocalTime(clock->now() + std::chrono::seconds(row.expectedSeconds),
                            "%Y-%m-%d %H:%M:%S") +
            "...";
        EXPECT_EQ(ui.last("callback").rfind(expected, 0), 0u) << ui.last("callback");

        photo("client/new.jpg");
        loop.advance(std::chrono::seconds(row.expectedSeconds) - 1ms);
        EXPECT_EQ(scanner->passes(), 1) << "fired early";
        loop.advance(1ms);
        ASSERT_TRUE(waitForRest());
        EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/new.jpg"});
        // The upload, then the empty pass that re-armed the timer.
        EXPECT_EQ(scanner->passes(), 3);
        EXPECT_EQ(loop.validTimerCount(), 1u);
    }
}

TEST_F(RescanTimerTest, NoTimerWithoutAutoSynchronizeAndAPassByHandDisarmsIt) {
    store->setObject(sPrefAutoSynchronize, false);
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    EXPECT_FALSE(controller->getRepeatTimer());
    EXPECT_EQ(loop.validTimerCount(), 0u);
    EXPECT_EQ(ui.count("callback", "Next Auto-Synchronize"), 0);

    store->setObject(sPrefAutoSynchronize, true);
    store->setObject(sPrefSecondsBetweenScans, 60.0);
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    TimerPtr armed = controller->getRepeatTimer();
    ASSERT_TRUE(armed && armed->isValid());

    // A pass started by hand while the timer is armed disarms it before it can fire; the pass
    // arms a fresh one when it ends empty.
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    EXPECT_FALSE(armed->isValid());
    EXPECT_EQ(loop.validTimerCount(), 1u);
    EXPECT_EQ(scanner->passes(), 3);
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
        controller->ibUserClickedOnSynchronize();  // an empty pass arms the timer
        ASSERT_TRUE(waitForRest());
        photo("client/a.jpg");
        row.pause(*this);
        ASSERT_TRUE(waitForRest());
        row.trigger(*this);
        ASSERT_TRUE(waitForRest());
        EXPECT_TRUE(uploader->uploadedItems().empty());
        EXPECT_TRUE(controller->didHaltProcess());
        EXPECT_EQ(ui.last("button"), "Resume");

        row.resume(*this);
        ASSERT_TRUE(waitForRest());
        EXPECT_FALSE(controller->didHaltProcess());
        EXPECT_EQ(ui.last("button"), "Pause");
        EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/a.jpg"});
    }
}

TEST_F(RescanTimerTest, TheCycleStartsByItselfOnceItsSettingsHold) {
    struct Row {
        const char* what;
        std::function<void(RescanTimerTest&)> spoil, mend;
        std::string shown;
    };
    const std::vector<Row> rows = {
        {"source folder on a disk mounted later",
         [](RescanTimerTest& t) { std::filesystem::remove_all(t.source); },
         [](RescanTimerTest& t) {
             t.photo("client/a.jpg");
             t.loop.advance(60s);
         },
         "does not exist: connect its disk or choose another folder in Preferences"},
        {"event name entered later",
         [](RescanTimerTest& t) { t.store->setObject(sUserEnteredEventName, ""); },
         [](RescanTimerTest& t) { t.store->setObject(sUserEnteredEventName, "Prom 2026"); },
         "No event name is set: enter it in Preferences"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        store->setObject(sPrefSecondsBetweenScans, 60.0);
        photo("client/a.jpg");
        row.spoil(*this);
        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        EXPECT_TRUE(controller->isWaitingForSettings());
        EXPECT_NE(ui.last("callback-error").find(row.shown), std::string::npos)
            << ui.last("callback-error");
        loop.advance(120s);  // quiet looks while nothing changed
        ASSERT_TRUE(waitForRest());
        EXPECT_EQ(ui.count("beep"), 1);
        EXPECT_TRUE(uploader->uploadedItems().empty());

        row.mend(*this);
        ASSERT_TRUE(waitForRest());
        EXPECT_FALSE(controller->isWaitingForSettings());
        EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/a.jpg"});
    }
}

TEST_F(RescanTimerTest, APhotoThatFailsWaitsBeforeEachTryWhileTheOthersGo) {
    timings.firstRetryWait = 1s;
    const Dictionary fail{{httpStatusCode, 200},
                          {httpOurCustomStatus, "FAIL"},
                          {httpOurCustomMessage, "Server busy"}};
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
        std::vector<Dictionary> replies;  // for a.jpg; with forGood the last one stays
        bool forGood;
        std::string shown;  // in red
        std::size_t minTries, maxTries;
        std::chrono::seconds minGap;  // between two tries of a.jpg
    };
    const std::vector<Row> rows = {
        // 1 s doubling: tries at 0, 1, 3, 7 and 15 s.
        {"FAIL for good", {fail}, true, "service answered FAIL: Server busy", 4, 5, 1s},
        {"unreadable reply for good", {unreadable}, true, "unreadable reply", 4, 5, 1s},
        {"no reply for good",
         {Dictionary{{httpError, makeErrorValue("Could not connect to server")}}},
         true,
         "no reply from the service: Could not connect to server",
         4,
         5,
         1s},
        {"503 twice with Retry-After 6",
         {code(503, "6"), code(503, "6")},
         false,
         "HTTP Server Returned Status Code: 503",
         3,
         3,
         6s},
        {"429 once", {code(429, "")}, false, "HTTP Server Returned Status Code: 429", 2, 2, 1s},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        std::vector<std::chrono::steady_clock::time_point> tries;
        uploader->onUpload([&](const Dictionary& item) -> std::optional<Dictionary> {
            if (*stringForKey(item, cDictKeyCurItem) != "client/a.jpg") return std::nullopt;
            tries.push_back(loop.now());
            if (tries.size() > row.replies.size() && !row.forGood) return std::nullopt;
            return row.replies[std::min(tries.size(), row.replies.size()) - 1];
        });
        for (const char* name : {"a.jpg", "b.jpg", "c.jpg"})
            photo(std::string("client/") + name, name);

        controller->ibUserClickedOnSynchronize();
        ASSERT_TRUE(waitForRest());
        for (auto t = 0ms; t < 15s; t += 250ms) {
            loop.advance(250ms);
            ASSERT_TRUE(waitForRest());
        }

        EXPECT_GE(tries.size(), row.minTries);
        EXPECT_LE(tries.size(), row.maxTries);
        for (std::size_t i = 1; i < tries.size(); ++i)
            EXPECT_GE(tries[i] - tries[i - 1], row.minGap);
        EXPECT_EQ(test::readFile((row.forGood ? source : mirror) / "client/a.jpg"), "a.jpg");
        // The photos after it were not held up, and went once.
        const std::vector<std::string> items = uploader->uploadedItems();
        for (const char* later : {"client/b.jpg", "client/c.jpg"}) {
            EXPECT_TRUE(std::filesystem::exists(mirror / later)) << later;
            EXPECT_EQ(std::count(items.begin(), items.end(), later), 1) << later;
        }
        // Each failure shown in red with its reason, never as a success.
        bool shown = false;
        for (const auto& line : ui.lines())
            shown |= line.field == "callback-error" && line.text.rfind(row.shown, 0) == 0;
        EXPECT_TRUE(shown) << ui.last("callback-error");
        EXPECT_EQ(ui.count("outcome", "uploaded"), row.forGood ? 2 : 3);
        EXPECT_EQ(ui.count("outcome", "will retry"),
                  static_cast<int>(tries.size()) - (row.forGood ? 0 : 1));
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
        {"35 days does not turn negative", std::chrono::milliseconds(3000000000LL),
         kLongestTimerStep, 100ms, 0},
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
        if (fired) {
            EXPECT_GE(firedAfter, row.interval);
        }
        EXPECT_EQ(timer->isValid(), row.fires == 0);
        timer->invalidate();
        app.processEvents();
    }
}
#endif

}  // namespace
}  // namespace vorn
