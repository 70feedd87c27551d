#pragma once
// Intervals read from settings. A stored number may be anything a property list can hold: NaN,
// infinity, negative or far too large. Converted unchecked to integer milliseconds such values
// overflow and make a timer fire at once or never.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace vorn {

// seconds as milliseconds: NaN gives fallback; everything else, infinities included, is held
// within [lowest, highest].
inline std::chrono::milliseconds intervalFromSeconds(double seconds, double fallback, double lowest,
                                                     double highest) {
    if (std::isnan(seconds)) seconds = fallback;
    seconds = std::clamp(seconds, lowest, highest);
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(seconds * 1000.0)));
}

// Timers longer than this are armed in steps (Qt's timers take int milliseconds).
inline constexpr std::chrono::milliseconds kLongestTimerStep{24 * 3600 * 1000};

}  // namespace vorn
