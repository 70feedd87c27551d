#include "platform/WorkerThreads.h"

#include <thread>

#include "platform/PlatformLog.h"

namespace vorn {

WorkerThreads::WorkerThreads(std::chrono::milliseconds idleTimeout)
    : state_(std::make_shared<State>()) {
    state_->idleTimeout = idleTimeout;
}

WorkerThreads::~WorkerThreads() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->work.notify_all();
}

void WorkerThreads::run(std::shared_ptr<State> state, std::function<void()> body) {
    for (;;) {
        body();
        body = nullptr;  // what the task holds is let go before waiting for the next
        std::unique_lock lock(state->mutex);
        if (--state->active == 0) state->idle.notify_all();
        ++state->idleThreads;
        state->work.wait_for(lock, state->idleTimeout,
                             [&] { return !state->handed.empty() || state->closing; });
        --state->idleThreads;
        if (state->handed.empty()) {
            --state->threads;
            return;
        }
        body = std::move(state->handed.front());
        state->handed.pop_front();
    }
}

void WorkerThreads::spawn(std::function<void()> body) {
    auto state = state_;
    {
        std::lock_guard lock(state->mutex);
        ++state->active;
        if (static_cast<std::size_t>(state->idleThreads) > state->handed.size()) {
            state->handed.push_back(std::move(body));
            state->work.notify_one();
            return;
        }
        ++state->threads;
    }
    try {
        std::thread(run, state, std::move(body)).detach();
    } catch (const std::system_error& e) {
        platformLog("UNABLE to start a thread: %s", e.what());
        std::lock_guard lock(state->mutex);
        --state->threads;
        if (--state->active == 0) state->idle.notify_all();
    }
}

int WorkerThreads::activeCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->active;
}

int WorkerThreads::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

bool WorkerThreads::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, timeout, [this] { return state_->active == 0; });
}

}  // namespace vorn
