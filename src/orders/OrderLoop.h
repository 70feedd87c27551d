#pragma once
// The hi-res order loop: one pass at a time on its own thread (query, look-up, uploads), the
// next one armed as a one-shot main-thread timer when a pass ends, every
// "prefMinutesForCheckOrders" minutes. It neither waits for nor pauses the upload cycle.

#include <chrono>
#include <memory>
#include <optional>

#include "files/CleanUpProgress.h"
#include "platform/MainThread.h"
#include "platform/WorkerThreads.h"

namespace vorn {

// Title and lines of the pass's progress window.
inline constexpr const char* kCheckOrdersWindowTitle = "Check Orders for Hi Res Photos";
inline constexpr const char* kCheckOrdersLine1 = "Checking For Orders Requiring Hi Res Photos...";
inline constexpr const char* kCheckOrdersLine2 = "Sending Query...";

class OrderLoop {
  public:
    // The class name log lines carry.
    static constexpr const char* kClass = "OrderLoop";

    struct Options {
        // Opens the pass's progress window; empty, or answering nothing: the pass runs without.
        MaintenanceWindowFactory newMaintenanceWindow;
        // The pause between opening the window and sending the query.
        std::chrono::milliseconds settleDelay{1000};
        std::chrono::seconds connectTimeout{60};
        std::chrono::seconds idleTimeout{60};
    };

    // Passes run on threads of `threads`; both objects must outlive the loop.
    OrderLoop(MainThread& mainThread, WorkerThreads& threads);
    OrderLoop(MainThread& mainThread, WorkerThreads& threads, Options options);
    ~OrderLoop();  // stop()
    OrderLoop(const OrderLoop&) = delete;
    OrderLoop& operator=(const OrderLoop&) = delete;

    // At launch: starts a pass on a new thread at once; it arms the next when it ends.
    void start();
    // No further passes: cancels the armed timer; a running pass aborts its exchange within a
    // second, skips its remaining entries and arms nothing. start() resumes the loop.
    void stop();

    // Arms the next pass (main thread): nothing when checking is off, else a one-shot timer.
    void setupQueryAndUploadHiResProcess();
    // The timer's action: starts a pass on a new thread and returns at once.
    void doQueryAndUploadHiResInThread();
    // One pass on the calling thread. Ends at once, arming nothing, when checking is off or
    // another pass runs.
    void doQueryAndUploadHiResProcess();

    // gRunningQueryAndUploadHiResThread: true from the start of a pass until the main thread
    // has taken its re-arming.
    bool isRunningQueryAndUploadHiResThread() const;
    // The armed timer, if any.
    TimerPtr timer() const;

    // The pause before the next pass for a "prefMinutesForCheckOrders" value: none 3600 s;
    // otherwise minutes x 60 s, with 10 s for a result not above 0 (or not a number), and at
    // most the longest interval a timer can wait (about 24.8 days).
    static std::chrono::milliseconds intervalForCheckOrders(std::optional<double> minutes);

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace vorn
