#pragma once
// Detached worker threads that can be counted and waited for. A thread whose task has ended
// waits a while for the next one instead of ending, so a cycle of short passes does not start a
// thread for each; a task finding no idle thread gets a new one, so a long-running task never
// holds others up. The application never joins them (quitting is never delayed); tests wait
// until every task of a cycle has ended.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vorn {

class WorkerThreads {
  public:
    // idleTimeout: how long a thread without a task waits for one before it ends.
    explicit WorkerThreads(std::chrono::milliseconds idleTimeout = std::chrono::seconds(30));
    // Idle threads end; tasks under way run to their end on their own.
    ~WorkerThreads();
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Runs body on an idle thread, or on a new detached one when none is idle.
    void spawn(std::function<void()> body);
    // Tasks running (idle threads do not count).
    int activeCount() const;
    // Waits until no task runs; false on timeout.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;
    // Threads alive, idle or not.
    int threadCount() const;

  private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable idle;
        std::condition_variable work;
        std::deque<std::function<void()>> handed;  // given to idle threads, not yet taken
        int active = 0;
        int idleThreads = 0;
        int threads = 0;
        bool closing = false;
        std::chrono::milliseconds idleTimeout;
    };
    static void run(std::shared_ptr<State> state, std::function<void()> body);

    std::shared_ptr<State> state_;  // shared with the threads, so it outlives this object
};

}  // namespace vorn
