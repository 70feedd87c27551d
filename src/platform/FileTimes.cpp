#include "platform/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace vorn {
namespace {

SystemTime fromTimestamp(std::int64_t sec, std::uint32_t nsec) {
    using namespace std::chrono;
    return SystemTime(duration_cast<SystemTime::duration>(seconds(sec) + nanoseconds(nsec)));
}

struct Times {
    std::optional<SystemTime> birth;
    SystemTime modification;
};

std::optional<Times> readTimes(const std::string& path) {
    struct statx stx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx) == 0) {
        Times t;
        t.modification = fromTimestamp(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
        if (stx.stx_mask & STATX_BTIME) {
            t.birth = fromTimestamp(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
        }
        return t;
    }
    if (errno != ENOSYS) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Times{std::nullopt,
                 fromTimestamp(st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec))};
}

}  // namespace

std::optional<SystemTime> fileBirthTime(const std::string& path) {
    auto t = readTimes(path);
    if (!t) return std::nullopt;
    return t->birth ? *t->birth : t->modification;
}

std::optional<SystemTime> fileModificationTime(const std::string& path) {
    auto t = readTimes(path);
    if (!t) return std::nullopt;
    return t->modification;
}

bool isZeroFileDate(SystemTime t) {
    using namespace std::chrono;
    // -2082844800: 1904-01-01 00:00:00 UTC, the old Mac epoch.
    auto s = floor<seconds>(t.time_since_epoch()).count();
    return s == -2082844800LL || s == 0;
}

std::optional<SystemTime> fileDateFromDates(std::optional<SystemTime> creation,
                                            std::optional<SystemTime> modification) {
    if (creation && !isZeroFileDate(*creation)) return creation;
    return modification;
}

std::optional<SystemTime> fileDateForAging(const std::string& path) {
    auto t = readTimes(path);
    if (!t) return std::nullopt;
    return fileDateFromDates(t->birth ? t->birth : t->modification, t->modification);
}

}  // namespace vorn
