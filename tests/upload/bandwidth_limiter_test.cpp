// The shared send cap: how long the bytes of all uploads together are held, on a clock of the
// test's own, whatever the reads' sizes, and what a change of the cap does.

#include "upload/BandwidthLimiter.h"

#include <gtest/gtest.h>

namespace vorn {
namespace {

using namespace std::chrono_literals;

// A limiter on the test's own clock, which its waits move on; held adds them up.
struct OnTestTime {
    BandwidthLimiter::Clock::time_point now{};
    std::chrono::nanoseconds held{0};
    BandwidthLimiter limiter{{[this] { return now; },
                              [this](std::chrono::nanoseconds d) {
                                  held += d;
                                  now += d;
                              }}};
    double heldSeconds() const { return std::chrono::duration<double>(held).count(); }
};

TEST(BandwidthLimiterTest, BytesGoAtTheCapHoweverTheyAreReadAndTheCapChangesLive) {
    struct Row {
        const char* what;
        std::uint64_t cap;
        std::vector<std::size_t> reads;  // the body's reads, in bytes, one after another
        std::chrono::milliseconds held;  // how long they were held in all
    };
    const std::size_t KiB = 1024, MiB = 1024 * 1024;
    const std::vector<Row> rows = {
        {"no cap", 0, std::vector<std::size_t>(100, 64 * KiB), 0ms},
        {"2 MiB at 1 MiB/s in 64 KiB reads", MiB, std::vector<std::size_t>(32, 64 * KiB), 2000ms},
        {"the same in one read", MiB, {2 * MiB}, 2000ms},
        {"reads of odd sizes", 2 * MiB, {1, 3 * MiB, 7, MiB - 8}, 2000ms},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        OnTestTime t;
        t.limiter.setBytesPerSecond(row.cap);
        for (std::size_t bytes : row.reads) t.limiter.take(bytes);
        EXPECT_NEAR(t.heldSeconds(), std::chrono::duration<double>(row.held).count(), 0.001);
    }

    // Time spent elsewhere earns a tenth of a second's worth of bytes, no more; a new cap
    // applies to the next read.
    OnTestTime t;
    t.limiter.setBytesPerSecond(MiB);
    t.now += 60s;
    t.limiter.take(MiB / 10);
    EXPECT_EQ(t.held, 0ns);
    t.limiter.take(MiB);
    EXPECT_NEAR(t.heldSeconds(), 1.0, 0.001);
    t.limiter.setBytesPerSecond(4 * MiB);
    t.limiter.take(MiB);
    EXPECT_NEAR(t.heldSeconds(), 1.25, 0.001);
    t.limiter.setBytesPerSecond(0);
    t.limiter.take(100 * MiB);
    EXPECT_NEAR(t.heldSeconds(), 1.25, 0.001);
}

}  // namespace
}  // namespace vorn
