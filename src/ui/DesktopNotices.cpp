#include "ui/DesktopNotices.h"

#include <algorithm>

namespace vorn {

DesktopNotices::DesktopNotices(std::chrono::milliseconds serviceFailingAfter)
    : serviceFailingAfter_(serviceFailingAfter) {}

void DesktopNotices::raise(Reason reason, std::string summary, std::string body,
                           std::vector<Notice>& out) {
    if (std::find(out_.begin(), out_.end(), reason) != out_.end()) return;
    out_.push_back(reason);
    out.push_back({reason, std::move(summary), std::move(body)});
}

void DesktopNotices::clear(Reason reason) {
    out_.erase(std::remove(out_.begin(), out_.end(), reason), out_.end());
}

void DesktopNotices::settleFiling() {
    if (!filingUnconfirmed_) return;
    filingUnconfirmed_ = false;
    clear(Reason::CannotFile);
}

std::vector<DesktopNotices::Notice> DesktopNotices::cycleState(CycleState state,
                                                               const std::string& reason,
                                                               TimePoint now) {
    std::vector<Notice> out;
    settleFiling();
    if (state == CycleState::Error)
        raise(Reason::StoppedOnError, "Vorn Uploader stopped on an error",
              reason + "\nUpload Now starts it again once this is mended.", out);
    else
        clear(Reason::StoppedOnError);
    if (state == CycleState::WaitingForSettings)
        raise(Reason::WaitingForSettings, "Vorn Uploader waits for valid settings", reason, out);
    else
        clear(Reason::WaitingForSettings);
    checkService(now, out);
    return out;
}

std::vector<DesktopNotices::Notice> DesktopNotices::errorShown(const std::string& text,
                                                               TimePoint now) {
    std::vector<Notice> out;
    if (text.rfind(kFilingFailurePrefix, 0) == 0) {
        filingUnconfirmed_ = false;
        raise(Reason::CannotFile, "Vorn Uploader cannot file a photo",
              text + "\nThe photo stays in the source folder until it can be filed.", out);
    }
    checkService(now, out);
    return out;
}

std::vector<DesktopNotices::Notice> DesktopNotices::outcome(const UploadOutcome& outcome,
                                                            TimePoint now) {
    std::vector<Notice> out;
    settleFiling();
    switch (outcome.kind) {
        case UploadOutcome::Kind::Uploaded:
        case UploadOutcome::Kind::SetAside:
            // The service answers; whether the photo could be filed shows next.
            failingSince_.reset();
            clear(Reason::ServiceFailing);
            filingUnconfirmed_ = true;
            break;
        case UploadOutcome::Kind::WillRetry:
            if (!failingSince_) failingSince_ = now;
            lastFailure_ = outcome.reason;
            break;
        case UploadOutcome::Kind::Skipped:
            break;
    }
    checkService(now, out);
    return out;
}

std::vector<DesktopNotices::Notice> DesktopNotices::waiting(std::size_t photosWaiting,
                                                            TimePoint now) {
    std::vector<Notice> out;
    waiting_ = photosWaiting;
    checkService(now, out);
    return out;
}

std::vector<DesktopNotices::Notice> DesktopNotices::tick(TimePoint now) {
    std::vector<Notice> out;
    checkService(now, out);
    return out;
}

void DesktopNotices::checkService(TimePoint now, std::vector<Notice>& out) {
    if (!failingSince_ || waiting_ == 0 || now - *failingSince_ < serviceFailingAfter_) return;
    const auto minutes =
        std::chrono::duration_cast<std::chrono::minutes>(now - *failingSince_).count();
    raise(Reason::ServiceFailing, "Photos are waiting behind a failing service",
          std::to_string(waiting_) + (waiting_ == 1 ? " photo has" : " photos have") +
              " waited for " + std::to_string(minutes) +
              " min; the last try: " + (lastFailure_.empty() ? "no answer" : lastFailure_),
          out);
}

}  // namespace vorn
