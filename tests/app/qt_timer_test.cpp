// The Qt main thread's timers: QTimer takes int milliseconds, so longer intervals are armed in
// steps instead of wrapping round to a short (or negative) one.

#include <gtest/gtest.h>

#if VORN_HAVE_SHELL

#include <QCoreApplication>
#include <QElapsedTimer>

#include "ui/QtMainThread.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace vorn

#endif
