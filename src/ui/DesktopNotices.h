#pragma once
// When the windowed uploader asks for a person: the cycle stopped on the service's ERROR, it
// waits for valid settings, a photo could not be filed (a full disk), or photos have waited
// behind a failing service for minutes. Fed with the facts the windows are shown, it answers the
// notices to send: one per reason, not again until that reason has cleared. No desktop here;
// the shell sends the notices.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "upload/UserInterface.h"

namespace vorn {

class DesktopNotices {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    enum class Reason { StoppedOnError, WaitingForSettings, CannotFile, ServiceFailing };
    struct Notice {
        Reason reason;
        std::string summary;
        std::string body;
    };

    // serviceFailingAfter: how long photos wait behind failed uploads before a notice.
    explicit DesktopNotices(
        std::chrono::milliseconds serviceFailingAfter = std::chrono::minutes(5));

    std::vector<Notice> cycleState(CycleState state, const std::string& reason, TimePoint now);
    // A text shown in red in the status line (a filing failure is one of them).
    std::vector<Notice> errorShown(const std::string& text, TimePoint now);
    std::vector<Notice> outcome(const UploadOutcome& outcome, TimePoint now);
    std::vector<Notice> waiting(std::size_t photosWaiting, TimePoint now);
    // The passing of time alone (a failing service turns into a notice without a new event).
    std::vector<Notice> tick(TimePoint now);

    // The status line's words for a photo that could not be filed begin so.
    static constexpr const char* kFilingFailurePrefix = "could not file ";

  private:
    // The notice for reason when it is not out already; nothing otherwise.
    void raise(Reason reason, std::string summary, std::string body, std::vector<Notice>& out);
    void clear(Reason reason);
    // A filing that failed shows before the next event; an event after a filed outcome without
    // one means the disk takes photos again.
    void settleFiling();
    void checkService(TimePoint now, std::vector<Notice>& out);

    std::chrono::milliseconds serviceFailingAfter_;
    std::vector<Reason> out_;  // reasons with a notice out, not cleared yet
    bool filingUnconfirmed_ = false;
    std::optional<TimePoint> failingSince_;
    std::string lastFailure_;
    std::size_t waiting_ = 0;
};

}  // namespace vorn
