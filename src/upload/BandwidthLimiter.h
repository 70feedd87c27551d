#pragma once
// The most bytes a second all uploads together may send, shared by every upload in flight (not
// each upload its own cap). A bucket of send allowance fills at the cap's rate up to a tenth of
// a second's worth; each read of the body takes its bytes from it and, when that runs the
// bucket into debt, waits until the debt is paid. Settable while uploads run; 0 is no cap.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace vorn {

class BandwidthLimiter {
  public:
    using Clock = std::chrono::steady_clock;
    struct Dependencies {
        std::function<Clock::time_point()> now = [] { return Clock::now(); };
        std::function<void(std::chrono::nanoseconds)> sleepFor;  // unset: the thread sleeps
    };
    BandwidthLimiter() : BandwidthLimiter(Dependencies{}) {}
    explicit BandwidthLimiter(Dependencies deps);

    void setBytesPerSecond(std::uint64_t bytesPerSecond);
    std::uint64_t bytesPerSecond() const;
    // Accounts for bytes about to be sent; returns once they may go.
    void take(std::size_t bytes);

  private:
    Dependencies deps_;
    mutable std::mutex mutex_;
    std::uint64_t rate_ = 0;
    double allowance_ = 0;  // bytes; negative: debt
    Clock::time_point last_{};
};

}  // namespace vorn
