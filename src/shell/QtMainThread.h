#pragma once
// The main-thread port over Qt's event loop: posts are queued calls on the application
// object, timers are QTimers living on the main thread.

#include <QObject>
#include <thread>

#include "platform/Interval.h"
#include "platform/MainThread.h"

namespace vorn {

class QtMainThread : public MainThread {
  public:
    // Must be constructed on the thread that runs the Qt event loop, after the application object.
    // longestStep: timers longer than this are armed in steps of at most this length (QTimer
    // takes int milliseconds, about 24.8 days).
    explicit QtMainThread(std::chrono::milliseconds longestStep = kLongestTimerStep);

    void post(std::function<void()> task) override;
    void postAndWait(std::function<void()> task) override;
    TimerPtr scheduleTimer(std::chrono::milliseconds interval, bool repeats,
                           std::function<void()> fire) override;
    bool isMainThread() const override;

  private:
    std::thread::id mainThread_;
    std::chrono::milliseconds longestStep_;
};

}  // namespace vorn
