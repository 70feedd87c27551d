#include "platform/WorkerThreads.h"

#include <thread>

#include "platform/PlatformLog.h"

namespace vorn {

WorkerThreads::WorkerThreads() : state_(std::make_shared<State>()) {}

void WorkerThreads::spawn(std::function<void()> body) {
    auto state = state_;
    {
        std::lock_guard lock(state->mutex);
        ++state->active;
    }
    auto finish = [state] {
        std::lock_guard lock(state->mutex);
        if (--state->active == 0) state->idle.notify_all();
    };
    try {
        std::thread([body = std::move(body), finish] {
            body();
            finish();
        }).detach();
    } catch (const std::system_error& e) {
        platformLog("UNABLE to start a thread: %s", e.what());
        finish();
    }
}

int WorkerThreads::activeCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->active;
}

bool WorkerThreads::waitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->idle.wait_for(lock, timeout, [this] { return state_->active == 0; });
}

}  // namespace vorn
