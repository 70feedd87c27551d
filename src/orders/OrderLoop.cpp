#include "orders/OrderLoop.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>

#include "orders/HttpHiResController.h"
#include "platform/PlatformLog.h"
#include "platform/Value.h"
#include "settings/Preferences.h"
#include "upload/Records.h"

namespace vorn {

namespace {}  // namespace

// Everything a pass thread or a timer touches, so that they stay safe when the loop object
// goes first.
struct OrderLoop::Shared {
    MainThread* mainThread;
    WorkerThreads* threads;
    Options options;

    std::atomic<bool> gRunningQueryAndUploadHiResThread{false};
    std::atomic<bool> cancel{false};

    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    TimerPtr timer;

    static void arm(const std::shared_ptr<Shared>& self);
    static void spawnPass(const std::shared_ptr<Shared>& self);
    static void runPass(const std::shared_ptr<Shared>& self);
};

OrderLoop::OrderLoop(MainThread& mainThread, WorkerThreads& threads)
    : OrderLoop(mainThread, threads, Options{}) {}

OrderLoop::OrderLoop(MainThread& mainThread, WorkerThreads& threads, Options options)
    : shared_(std::make_shared<Shared>()) {
    shared_->mainThread = &mainThread;
    shared_->threads = &threads;
    shared_->options = std::move(options);
}

OrderLoop::~OrderLoop() {
    stop();
}

void OrderLoop::start() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = false;
        shared_->cancel.store(false);
    }
    doQueryAndUploadHiResInThread();
}

void OrderLoop::stop() {
    TimerPtr timer;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopped = true;
        shared_->cancel.store(true);
        timer = std::move(shared_->timer);
    }
    shared_->wake.notify_all();
    if (timer) timer->invalidate();
}

void OrderLoop::setupQueryAndUploadHiResProcess() {
    Shared::arm(shared_);
}

void OrderLoop::doQueryAndUploadHiResInThread() {
    Shared::spawnPass(shared_);
}

void OrderLoop::doQueryAndUploadHiResProcess() {
    Shared::runPass(shared_);
}

bool OrderLoop::isRunningQueryAndUploadHiResThread() const {
    return shared_->gRunningQueryAndUploadHiResThread.load();
}

TimerPtr OrderLoop::timer() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->timer;
}

std::chrono::milliseconds OrderLoop::intervalForCheckOrders(std::optional<double> minutes) {
    double seconds = 3600;
    if (minutes) {
        seconds = *minutes * 60.0;
        if (!(seconds > 0)) seconds = 10;  // also catches NaN
    }
    // A longer wait would overflow the timer and fire at once, or never.
    const double longest = static_cast<double>(std::numeric_limits<int>::max());
    const double ms = std::min(std::round(seconds * 1000.0), longest);
    return std::chrono::milliseconds(std::max<std::int64_t>(1, static_cast<std::int64_t>(ms)));
}

void OrderLoop::Shared::arm(const std::shared_ptr<Shared>& self) {
    VORN_TRACE(kClass, "setupQueryAndUploadHiResProcess");
    if (!Preferences::getPrefDoCheckOrders()) {
        platformLog("Order checking is off: no further order checks until the next launch");
        return;
    }
    const std::chrono::milliseconds interval =
        intervalForCheckOrders(Preferences::getPrefMinutesForCheckOrders());
    platformLog("FloatValue for getPrefMinutesForCheckOrders is: [%2.2f]",
                static_cast<double>(interval.count()) / 1000.0);

    std::weak_ptr<Shared> weak = self;
    std::lock_guard lock(self->mutex);
    if (self->stopped) return;
    // Only the end of a pass arms a timer, so there is at most one; an older one goes.
    if (self->timer) self->timer->invalidate();
    self->timer = self->mainThread->scheduleTimer(interval, false, [weak] {
        if (auto alive = weak.lock()) spawnPass(alive);
    });
}

void OrderLoop::Shared::spawnPass(const std::shared_ptr<Shared>& self) {
    VORN_TRACE(kClass, "doQueryAndUploadHiResInThread");
    self->threads->spawn([self] { runPass(self); });
}

void OrderLoop::Shared::runPass(const std::shared_ptr<Shared>& self) {
    const char* method = "doQueryAndUploadHiResProcess";
    if (!Preferences::getPrefDoCheckOrders()) {
        platformLog("Inside %s => %s... Will NOT NOT NOT Check for Orders", kClass, method);
        return;
    }
    if (self->gRunningQueryAndUploadHiResThread.exchange(true)) {
        platformLog("Already running a thread for doQueryAndUploadHiResProcess...");
        return;
    }
    VORN_TRACE(kClass, method);

    std::unique_ptr<MaintenanceWindow> window;
    if (self->options.newMaintenanceWindow) window = self->options.newMaintenanceWindow();
    if (window) {
        window->showWindow();
        window->ibSetWindowTitle(kCheckOrdersWindowTitle);
        window->ibUpdateLine1TextField(kCheckOrdersLine1, true);
        window->ibUpdateLine2TextField(kCheckOrdersLine2, true);
        window->ibUpdateProgressBar("YES");
    } else {
        platformLog("UNABLE to create _newMaintProgressWindow.....");
    }

    bool stopped;
    {
        std::unique_lock lock(self->mutex);
        self->wake.wait_for(lock, self->options.settleDelay, [&] { return self->stopped; });
        stopped = self->stopped;
    }
    if (!stopped) {
        HttpHiResController::Options httpOptions;
        httpOptions.connectTimeout = self->options.connectTimeout;
        httpOptions.idleTimeout = self->options.idleTimeout;
        httpOptions.cancel = &self->cancel;
        HttpHiResController controller(httpOptions);
        controller.setProgressDelegate(window.get());

        DictionaryPtr queryInfo = makeRecord();
        if (auto name = Preferences::getCurUserLoginName()) (*queryInfo)[edUser] = *name;
        if (auto password = Preferences::getCurUserLoginPassword())
            (*queryInfo)[edPasswd] = *password;
        controller.doQueryAndUploadHiResWithInfo(queryInfo);
    }

    platformLog("Inside %s => %s... Done...", kClass, method);
    if (window) {
        window->close();
        window.reset();
    }

    // The flag is cleared on the main thread together with the re-arming: a timer armed there
    // cannot fire before it is clear, so a late pass thread cannot stop the loop for good.
    std::lock_guard lock(self->mutex);
    if (self->stopped) {
        self->gRunningQueryAndUploadHiResThread.store(false);
        return;
    }
    self->mainThread->post([self] {
        self->gRunningQueryAndUploadHiResThread.store(false);
        arm(self);
    });
}

}  // namespace vorn
