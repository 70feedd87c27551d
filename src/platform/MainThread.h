#pragma once
// The port to the main thread's event loop: what performSelectorOnMainThread and NSTimer were.
// The shell implements it over Qt; tests use RunLoop.

#include <chrono>
#include <functional>
#include <memory>

namespace vorn {

class Timer {
  public:
    virtual ~Timer() = default;
    // False once a one-shot timer has fired or any timer was invalidated.
    virtual bool isValid() const = 0;
    // Stops the timer; safe from any thread and more than once.
    virtual void invalidate() = 0;
};
using TimerPtr = std::shared_ptr<Timer>;

class MainThread {
  public:
    virtual ~MainThread() = default;
    // Runs task on the main thread later; returns at once.
    virtual void post(std::function<void()> task) = 0;
    // Runs task on the main thread and waits for it; runs it directly when already there.
    virtual void postAndWait(std::function<void()> task) = 0;
    // Schedules fire on the main thread after interval (and every interval when repeating).
    // Callable from any thread.
    virtual TimerPtr scheduleTimer(std::chrono::milliseconds interval, bool repeats,
                                   std::function<void()> fire) = 0;
    virtual bool isMainThread() const = 0;
};

}  // namespace vorn
