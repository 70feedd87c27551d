#pragma once
// Small file helpers shared by the moves, the clean-ups and the log manager.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace vorn {

// True when the folder has no entries, or only ".DS_Store". An unreadable folder (or a path
// that is no folder) is not empty.
bool isDirectoryEmpty(const std::string& path);

// True when the file's date (the file-date rule: creation date, or modification date for the
// zero dates) lies strictly before date. False when the file cannot be examined.
bool itemIsEarlierThan(const std::string& path, SystemTime date);

// Moves a file or folder into the user's trash when the user may delete it (write permission
// on its folder). Failures are logged.
void moveFileToUserTrash(const std::string& path, const Clock& clock = *Clock::system());

// "yyyy_MM_dd" in local time of the moment hours and minutes before now.
std::string computeCurrentDaysFolderString2(std::int16_t hours, std::int16_t minutes,
                                            const Clock& clock = *Clock::system());

// Runs the executable at launchPath and returns its standard output as text; nothing when
// there is no path, it cannot be started, or the output is not UTF-8.
std::optional<std::string> runShellScript2(const std::string* launchPath,
                                           const std::vector<std::string>* args);

// Runs one of the application's auxiliary scripts (found among the resources by name). False
// when it is missing, cannot be started, or reports "not connected".
bool runShellScript(const std::string* scriptName, const std::vector<std::string>* args);

}  // namespace vorn
