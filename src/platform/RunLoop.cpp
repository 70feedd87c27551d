#include "platform/RunLoop.h"

#include <algorithm>
#include <atomic>
#include <future>

namespace vorn {

struct RunLoop::LoopTimer : Timer {
    std::chrono::steady_clock::time_point due;
    std::chrono::milliseconds interval{};
    bool repeats = false;
    std::function<void()> fire;
    std::atomic<bool> valid{true};

    bool isValid() const override { return valid.load(); }
    void invalidate() override { valid.store(false); }
};

RunLoop::RunLoop(Time mode)
    : mode_(mode),
      mainThread_(std::this_thread::get_id()),
      virtualNow_(std::chrono::steady_clock::now()) {}

RunLoop::~RunLoop() {
    std::lock_guard lock(mutex_);
    for (auto& t : timers_) t->invalidate();
}

std::chrono::steady_clock::time_point RunLoop::now() const {
    if (mode_ == Time::Real) return std::chrono::steady_clock::now();
    std::lock_guard lock(mutex_);
    return virtualNow_;
}

void RunLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void RunLoop::postAndWait(std::function<void()> task) {
    if (isMainThread()) {
        task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    post([task = std::move(task), done] {
        task();
        done->set_value();
    });
    future.wait();
}

TimerPtr RunLoop::scheduleTimer(std::chrono::milliseconds interval, bool repeats,
                                std::function<void()> fire) {
    auto t = std::make_shared<LoopTimer>();
    // Held within a century so that the due time cannot overflow the clock.
    interval = std::clamp(interval, std::chrono::milliseconds(0),
                          std::chrono::milliseconds(std::chrono::hours(24 * 365 * 100)));
    t->interval = interval;
    t->repeats = repeats;
    t->fire = std::move(fire);
    {
        std::lock_guard lock(mutex_);
        auto base = mode_ == Time::Real ? std::chrono::steady_clock::now() : virtualNow_;
        t->due = base + interval;
        timers_.push_back(t);
    }
    wake_.notify_all();
    return t;
}

bool RunLoop::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

size_t RunLoop::validTimerCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(
        std::count_if(timers_.begin(), timers_.end(), [](auto& t) { return t->isValid(); }));
}

bool RunLoop::runOneTask() {
    std::function<void()> task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

bool RunLoop::fireOneDueTimer() {
    std::shared_ptr<LoopTimer> due;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(timers_, [](auto& t) { return !t->isValid(); });
        auto current = mode_ == Time::Real ? std::chrono::steady_clock::now() : virtualNow_;
        for (auto& t : timers_)
            if (t->due <= current && (!due || t->due < due->due)) due = t;
        if (!due) return false;
        if (due->repeats)
            due->due += std::max(due->interval, std::chrono::milliseconds(1));
        else
            due->invalidate();
    }
    due->fire();
    return true;
}

void RunLoop::runPending() {
    while (runOneTask() || fireOneDueTimer()) {
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (runOneTask() || fireOneDueTimer())
            if (done()) return true;
        if (done()) return true;
        auto current = std::chrono::steady_clock::now();
        if (current >= deadline) return false;
        auto wakeAt = std::min(deadline, current + std::chrono::milliseconds(10));
        std::unique_lock lock(mutex_);
        if (mode_ == Time::Real)
            for (auto& t : timers_)
                if (t->isValid()) wakeAt = std::min(wakeAt, t->due);
        wake_.wait_until(lock, wakeAt, [this] { return !tasks_.empty(); });
    }
}

void RunLoop::advance(Duration d) {
    std::chrono::steady_clock::time_point target;
    {
        std::lock_guard lock(mutex_);
        target = virtualNow_ + d;
    }
    for (;;) {
        runPending();
        std::lock_guard lock(mutex_);
        std::shared_ptr<LoopTimer> next;
        for (auto& t : timers_)
            if (t->isValid() && t->due <= target && (!next || t->due < next->due)) next = t;
        if (!next) {
            virtualNow_ = target;
            break;
        }
        virtualNow_ = std::max(virtualNow_, next->due);
    }
    runPending();
}

}  // namespace vorn
