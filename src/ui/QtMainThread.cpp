#include "ui/QtMainThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>
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

QtMainThread::QtMainThread() : mainThread_(std::this_thread::get_id()) {}

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
    auto timer = std::make_shared<QtTimer>();
    timer->self_ = timer;
    auto install = [timer, interval, repeats, fire = std::move(fire)] {
        if (!timer->isValid()) return;
        std::lock_guard lock(timer->mutex_);
        auto* qt = new QTimer(QCoreApplication::instance());
        qt->setSingleShot(!repeats);
        qt->setTimerType(Qt::PreciseTimer);
        // The connection keeps the timer alive until it is invalidated, as a run loop would.
        QObject::connect(qt, &QTimer::timeout, qt, [t = timer, repeats, fire] {
            if (!t->isValid()) return;
            if (!repeats) t->invalidate();
            fire();
        });
        timer->timer_ = qt;
        qt->start(static_cast<int>(interval.count()));
    };
    if (isMainThread())
        install();
    else
        post(std::move(install));
    return timer;
}

}  // namespace vorn
