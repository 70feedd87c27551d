#pragma once
// File dates: the birth ("creation") time where the file system keeps one, the modification
// time, and the date by which files are aged.

#include <optional>
#include <string>

#include "platform/Clock.h"

namespace vorn {

// Birth time of the file (symbolic links followed); the modification time on file systems that
// keep no birth time. Nothing when the file cannot be examined.
std::optional<SystemTime> fileBirthTime(const std::string& path);

// Modification time (symbolic links followed), or nothing.
std::optional<SystemTime> fileModificationTime(const std::string& path);

// The two instants that stand for "no creation date": 1904-01-01 and 1970-01-01 00:00:00 UTC.
bool isZeroFileDate(SystemTime t);

// The file-date rule: the creation date, or the modification date when the creation date is
// missing or one of the zero dates (compared to the second).
std::optional<SystemTime> fileDateFromDates(std::optional<SystemTime> creation,
                                            std::optional<SystemTime> modification);

// The file-date rule applied to the file at path; nothing when it cannot be examined.
std::optional<SystemTime> fileDateForAging(const std::string& path);

}  // namespace vorn
