#include "upload/BandwidthLimiter.h"

#include <algorithm>
#include <thread>

namespace vorn {

BandwidthLimiter::BandwidthLimiter(Dependencies deps) : deps_(std::move(deps)) {
    if (!deps_.now) deps_.now = [] { return Clock::now(); };
    if (!deps_.sleepFor)
        deps_.sleepFor = [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); };
    last_ = deps_.now();
}

void BandwidthLimiter::setBytesPerSecond(std::uint64_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    if (bytesPerSecond == rate_) return;
    rate_ = bytesPerSecond;
    // A new cap starts from an empty bucket: what was owed under the old one is forgiven.
    allowance_ = 0;
    last_ = deps_.now();
}

std::uint64_t BandwidthLimiter::bytesPerSecond() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

void BandwidthLimiter::take(std::size_t bytes) {
    std::chrono::nanoseconds wait{0};
    {
        std::lock_guard lock(mutex_);
        if (rate_ == 0) return;
        const Clock::time_point now = deps_.now();
        const double rate = static_cast<double>(rate_);
        const double seconds = std::chrono::duration<double>(now - last_).count();
        last_ = now;
        // A tenth of a second's worth at most: a pause in sending earns no burst beyond it.
        allowance_ = std::min(allowance_ + seconds * rate, rate / 10);
        allowance_ -= static_cast<double>(bytes);
        if (allowance_ < 0)
            wait = std::chrono::nanoseconds(static_cast<std::int64_t>(-allowance_ / rate * 1e9));
    }
    if (wait.count() > 0) deps_.sleepFor(wait);
}

}  // namespace vorn
