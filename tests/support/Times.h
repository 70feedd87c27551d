#pragma once
// Fixed instants for tests, and back-dating a file to one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "platform/Clock.h"

namespace vorn::test {

inline SystemTime utc(int y, int mo, int d, int h, int mi, int s) {
    using namespace std::chrono;
    return sys_days(year(y) / mo / d) + hours(h) + minutes(mi) + seconds(s);
}

// Sets access and modification time to t, whole seconds.
inline void setModificationTime(const std::filesystem::path& path, SystemTime t) {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    const struct timespec times[2] = {{static_cast<time_t>(s), 0}, {static_cast<time_t>(s), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

}  // namespace vorn::test
