#pragma once
// Detached worker threads that can be counted and waited for. The application never joins
// them (quitting is never delayed); tests wait until every thread of a cycle has ended.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vorn {

class WorkerThreads {
  public:
    WorkerThreads();
    // Starts body on a new detached thread.
    void spawn(std::function<void()> body);
    int activeCount() const;
    // Waits until no worker runs; false on timeout.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

  private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable idle;
        int active = 0;
    };
    std::shared_ptr<State> state_;  // shared with the threads, so it outlives this object
};

}  // namespace vorn
