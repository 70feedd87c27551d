// The order loop on a virtual-time run loop: the interval rules, one pass at a time, stopping.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <limits>

#include "OrdersFixture.h"
#include "files/LineMaintenanceWindow.h"
#include "orders/OrderLoop.h"
#include "platform/RunLoop.h"
#include "platform/WorkerThreads.h"

namespace vorn::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class OrderLoopTest : public OrdersTest {
  protected:
    // Counts the passes that got past their start (each opens one progress window, whose lines
    // land in `lines`). The first `holdPasses` passes wait in their window until `releaser` is set.
    OrderLoop::Options options() {
        OrderLoop::Options o;
        o.settleDelay = 0ms;
        o.newMaintenanceWindow = [this]() -> std::unique_ptr<MaintenanceWindow> {
            int n = ++passes;
            if (n <= holdPasses) {
                entered.set_value();
                released.wait();
            }
            return std::make_unique<LineMaintenanceWindow>([this](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            });
        };
        return o;
    }

    bool armedAndIdle(const OrderLoop& orders) const {
        TimerPtr t = orders.timer();
        return t && t->isValid() && !orders.isRunningQueryAndUploadHiResThread();
    }

    void TearDown() override { EXPECT_TRUE(threads.waitUntilIdle(10s)); }

    RunLoop mainLoop{RunLoop::Time::Virtual};
    WorkerThreads threads;
    std::atomic<int> passes{0};
    int holdPasses = 0;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::promise<void> entered, releaser;
    std::future<void> enteredFuture = entered.get_future();
    std::shared_future<void> released = releaser.get_future().share();
};

TEST_F(OrderLoopTest, NextPassComesAfterTheMinutesPreferenceAndCheckingOffEndsTheLoop) {
    store->removeObject(sPrefKivURL);  // passes end without a query
    struct Row {
        const char* what;
        Value minutes;  // None: no value stored
        std::chrono::milliseconds interval;
    };
    const Row rows[] = {
        {"half a minute", 0.5, 30s},
        {"half a minute as text", "0.5", 30s},
        {"zero", 0, 10s},
        {"no value", Value(), 3600s},
        {"beyond what a timer can wait", 1e12,
         std::chrono::milliseconds(std::numeric_limits<int>::max())},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        passes = 0;
        store->setObject(sPrefMinutesForCheckOrders, row.minutes);
        OrderLoop orders(mainLoop, threads, options());
        orders.start();
        ASSERT_TRUE(mainLoop.runUntil([&] { return armedAndIdle(orders); }));
        EXPECT_EQ(passes, 1);

        mainLoop.advance(row.interval - 1ms);
        ASSERT_TRUE(threads.waitUntilIdle(10s));
        mainLoop.runPending();
        EXPECT_EQ(passes, 1) << "not before the interval";

        mainLoop.advance(1ms);
        ASSERT_TRUE(mainLoop.runUntil([&] { return passes == 2 && armedAndIdle(orders); }));
        EXPECT_EQ(mainLoop.validTimerCount(), 1u) << "one timer at a time";
        orders.stop();
        ASSERT_TRUE(threads.waitUntilIdle(10s));
    }
    EXPECT_EQ(OrderLoop::intervalForCheckOrders(std::numeric_limits<double>::quiet_NaN()), 10s);

    // Checking turned off ends the loop until the next start.
    passes = 0;
    store->setObject(sPrefMinutesForCheckOrders, 1);
    OrderLoop orders(mainLoop, threads, options());

    // Off at launch: no pass, no timer, also when asked to arm one.
    store->setObject(sPrefDoCheckOrders, false);
    orders.start();
    ASSERT_TRUE(threads.waitUntilIdle(10s));
    orders.setupQueryAndUploadHiResProcess();
    mainLoop.runPending();
    EXPECT_EQ(passes, 0);
    EXPECT_EQ(mainLoop.validTimerCount(), 0u);

    // Turned off while a timer waits: the pass it starts ends at once and arms nothing.
    store->setObject(sPrefDoCheckOrders, true);
    orders.start();
    ASSERT_TRUE(mainLoop.runUntil([&] { return armedAndIdle(orders); }));
    store->setObject(sPrefDoCheckOrders, false);
    mainLoop.advance(60s);
    ASSERT_TRUE(threads.waitUntilIdle(10s));
    mainLoop.runPending();
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(mainLoop.validTimerCount(), 0u);

    // Turned on again: nothing happens before the next start.
    store->setObject(sPrefDoCheckOrders, true);
    mainLoop.advance(2h);
    EXPECT_EQ(passes, 1);
}

TEST_F(OrderLoopTest, APassWhileAPassRunsEndsAtOnceAndStopLeavesNoTimer) {
    const fs::path photo = writeImage(dir / "Capture/Prom Night/IMG 7.jpg");
    startService("[{\"orderid\": \"70\", \"imageid\": \"700\", \"localfilelocation\": \"" +
                 photo.string() + "\"}]");
    holdPasses = 1;
    OrderLoop orders(mainLoop, threads, options());
    orders.start();
    ASSERT_EQ(enteredFuture.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(orders.isRunningQueryAndUploadHiResThread());
    orders.doQueryAndUploadHiResProcess();
    EXPECT_EQ(passes, 1);
    mainLoop.runPending();
    EXPECT_EQ(mainLoop.validTimerCount(), 0u) << "the second pass arms nothing";

    // Stopped while it runs, the pass ends before its query and arms nothing.
    orders.stop();
    releaser.set_value();
    ASSERT_TRUE(threads.waitUntilIdle(10s));
    mainLoop.runPending();
    EXPECT_FALSE(orders.isRunningQueryAndUploadHiResThread());
    EXPECT_EQ(mainLoop.validTimerCount(), 0u);
    EXPECT_TRUE(requestsOfKind("order-query").empty());

    // Started again, it runs and arms one timer; stopped, the armed timer never fires.
    orders.start();
    ASSERT_TRUE(mainLoop.runUntil([&] { return armedAndIdle(orders); }));
    EXPECT_EQ(requestsOfKind("order-query").size(), 1u);
    EXPECT_EQ(mainLoop.validTimerCount(), 1u);
    // The pass shows its progress and uploads with the stored login.
    std::vector<LoggedRequest> hires = requestsOfKind("hires");
    ASSERT_EQ(hires.size(), 1u);
    EXPECT_EQ(hires[0].fields,
              "fuseaction=order.upload username=photog password=pw \"one\" "
              "orderid=70 imageid=700 imgfile=IMG 7.jpg image/jpeg");
    EXPECT_EQ(readFile(hires[0].file), readFile(photo));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(lines.back(), "Uploading Hi Res Item: [" + photo.string() + "]");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Sending Query to order.query"), 1);
    }
    TimerPtr armed = orders.timer();
    orders.stop();
    EXPECT_FALSE(armed->isValid());
    mainLoop.advance(2h);
    ASSERT_TRUE(threads.waitUntilIdle(10s));
    EXPECT_EQ(passes, 2);
}

}  // namespace
}  // namespace vorn::test
