#pragma once
// A small main-thread run loop for tests and command-line tools. Time is either real (timers
// fire when due) or virtual (timers fire only when advance() moves time past them), so tests
// about intervals never sleep.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/MainThread.h"

namespace vorn {

class RunLoop : public MainThread {
  public:
    enum class Time { Real, Virtual };
    using Duration = std::chrono::steady_clock::duration;

    // The constructing thread is the main thread.
    explicit RunLoop(Time mode = Time::Real);
    ~RunLoop() override;

    void post(std::function<void()> task) override;
    void postAndWait(std::function<void()> task) override;
    TimerPtr scheduleTimer(std::chrono::milliseconds interval, bool repeats,
                           std::function<void()> fire) override;
    bool isMainThread() const override;

    // Runs tasks and due timers until done() holds or timeout (real time) passes.
    // Returns done(). done is checked after every task and at least every 10 ms.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Runs everything that is ready now, without waiting.
    void runPending();
    // Virtual time: moves the clock forward by d, firing the timers that fall due on the way,
    // in order, and running the tasks they post.
    void advance(Duration d);
    // Virtual or real "now" of the loop.
    std::chrono::steady_clock::time_point now() const;
    // Number of timers still valid.
    size_t validTimerCount() const;

  private:
    struct LoopTimer;
    bool runOneTask();
    bool fireOneDueTimer();

    const Time mode_;
    const std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::shared_ptr<LoopTimer>> timers_;
    std::chrono::steady_clock::time_point virtualNow_;
};

}  // namespace vorn
