#include "shell/QtMainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <mutex>

namespace vorn {

namespace {
class QtTimer : public Timer {
  public:
    bool isValid() const override { return valid_.load(); }
    void invalidate() override {
        if (!valid_.exchange(false)) return;
        // The QTimer lives on the main thread; stop and delete it there.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self = this->self_.lock()] {
                if (!self) return;
                std::lock_guard lock(self->mutex_);
                if (self->timer_) {
                    self->timer_->stop();
                    self->timer_->deleteLater();
                    self->timer_ = nullptr;
                }
            },
            Qt::QueuedConnection);
    }

    std::atomic<bool> valid_{true};
    std::weak_ptr<QtTimer> self_;
    std::mutex mutex_;
    QTimer* timer_ = nullptr;
};
}  // namespace

QtMainThread::QtMainThread(std::chrono::milliseconds longestStep)
    : mainThread_(std::this_thread::get_id()),
      longestStep_(std::clamp(longestStep, std::chrono::milliseconds(1), kLongestTimerStep)) {}

bool QtMainThread::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void QtMainThread::post(std::function<void()> task) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

void QtMainThread::postAndWait(std::function<void()> task) {
    if (isMainThread()) {
        task();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task),
                              Qt::BlockingQueuedConnection);
}

TimerPtr QtMainThread::scheduleTimer(std::chrono::milliseconds interval, bool repeats,
                                     std::function<void()> fire) {
    using std::chrono::steady_clock;
    interval = std::max(interval, std::chrono::milliseconds(0));
    auto timer = std::make_shared<QtTimer>();
    timer->self_ = timer;
    auto install = [timer, interval, repeats, step = longestStep_, fire = std::move(fire)] {
        if (!timer->isValid()) return;
        std::lock_guard lock(timer->mutex_);
        auto* qt = new QTimer(QCoreApplication::instance());
        qt->setSingleShot(true);
        qt->setTimerType(Qt::PreciseTimer);
        // A QTimer takes int milliseconds: a longer interval is armed again in steps until its
        // moment has come.
        auto startStep = [qt, step](std::chrono::milliseconds left) {
            qt->start(
                static_cast<int>(std::clamp(left, std::chrono::milliseconds(0), step).count()));
        };
        auto due = std::make_shared<steady_clock::time_point>(steady_clock::now() + interval);
        // The connection keeps the timer alive until it is invalidated, as a run loop would.
        QObject::connect(
            qt, &QTimer::timeout, qt, [t = timer, repeats, fire, due, interval, startStep] {
                if (!t->isValid()) return;
                auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(*due - steady_clock::now());
                if (left.count() > 0) {
                    startStep(left);
                    return;
                }
                if (repeats) {
                    *due = steady_clock::now() + interval;
                    startStep(interval);
                } else {
                    t->invalidate();
                }
                fire();
            });
        timer->timer_ = qt;
        startStep(interval);
    };
    if (isMainThread())
        install();
    else
        post(std::move(install));
    return timer;
}

}  // namespace vorn
