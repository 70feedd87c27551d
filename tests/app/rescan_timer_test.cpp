// The rescan timer and the pause/resume toggle, with the main thread's time under the test's
// control: nothing here waits for a real interval.

#include <gtest/gtest.h>

#include "support/cycle/CycleFixture.h"

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
    for (const Row& row : {Row{"unset", std::nullopt, 120}, Row{"300", 300.0, 300},
                           Row{"zero is raised", 0.0, 1}, Row{"negative is raised", -5.0, 1}}) {
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

TEST_F(RescanTimerTest, PauseWhileIdleHoldsTheCycleAndResumeStartsAPass) {
    store->setObject(sPrefAutoSynchronize, true);
    photo("client/a.jpg");
    controller->ibClickedOnHalt();  // idle: held at once
    EXPECT_TRUE(controller->didHaltProcess());
    EXPECT_EQ(ui.last("callback"), "Process Paused...");
    EXPECT_EQ(ui.last("button"), "Resume");

    // Neither the user's synchronise nor the timer uploads anything while held.
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    EXPECT_TRUE(uploader->uploadedItems().empty());
    EXPECT_EQ(ui.last("callback"), "Process Halted... Click Resume If You Wish To Continue...");

    controller->ibClickedOnHalt();  // resume
    ASSERT_TRUE(waitForRest());
    EXPECT_FALSE(controller->didHaltProcess());
    EXPECT_EQ(ui.last("button"), "Pause");
    EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/a.jpg"});
}

TEST_F(RescanTimerTest, TheTimerNeverUndoesAPauseButUploadNowResumes) {
    store->setObject(sPrefAutoSynchronize, true);
    store->setObject(sPrefSecondsBetweenScans, 60.0);
    controller->ibUserClickedOnSynchronize();
    ASSERT_TRUE(waitForRest());
    ASSERT_TRUE(controller->getRepeatTimer());

    controller->ibClickedOnHalt();  // pause while idle, with the timer armed
    photo("client/a.jpg");
    loop.advance(60s);
    ASSERT_TRUE(waitForRest());
    EXPECT_TRUE(controller->didHaltProcess());
    EXPECT_TRUE(uploader->uploadedItems().empty());

    controller->ibClickedOnSynchronizeAgain();  // the remote "upload now"
    ASSERT_TRUE(waitForRest());
    EXPECT_FALSE(controller->didHaltProcess());
    EXPECT_EQ(uploader->uploadedItems(), std::vector<std::string>{"client/a.jpg"});
}

}  // namespace
}  // namespace vorn
