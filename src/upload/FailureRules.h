#pragma once
// What the result record of a failed upload decides: whether the photo is set aside into the
// problem folder, stays to be tried again after a wait, or holds the cycle (the service's
// ERROR), and what the user is shown. Pure: the controller files, waits and shows.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn {

struct FailureVerdict {
    enum class Pause { None, AfterNoEmailAddresses, AfterHttpError };

    bool stop = false;      // the service answered ERROR: the cycle holds after this photo
    bool setAside = false;  // the photo goes to the problem folder
    // Set when the photo stays in the source folder and is tried again after its wait.
    std::optional<std::string> retryReason;
    std::optional<std::chrono::milliseconds> retryAfter;  // the service's Retry-After
    std::vector<std::string> errorsShown;                 // in red, in this order
    std::optional<std::string> noteShown;  // the service's "OK" message, as normal text
    Pause pause = Pause::None;             // before the photo is filed
    std::string setAsideReason;            // why, when set aside
    std::string message;                   // the service's message
};

// serviceHost names the service in a reason ("no reply from photos.example.com: ...").
FailureVerdict judgeFailedUpload(const Dictionary& result, const std::string& serviceHost);

// 429, 502, 503, 504: a passing outage, the photo stays and is tried again.
bool isTransientStatus(long code);

}  // namespace vorn
