#include "files/FileUtilities.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "platform/FileTimes.h"
#include "platform/PlatformLog.h"
#include "platform/Process.h"
#include "platform/Resources.h"
#include "platform/Trash.h"
#include "platform/Utf8.h"

namespace vorn {
namespace {

bool containsIgnoringCase(const std::string& haystack, const std::string& needle) {
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                          [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    return it != haystack.end();
}

// What "is deletable" means here: the item exists and we may change its folder (and, in a
// sticky folder such as /tmp, we own the item or the folder).
bool isDeletable(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    std::string parent = std::filesystem::path(path).parent_path().string();
    if (parent.empty()) parent.push_back('.');  // assigning "." trips GCC 12's -Wrestrict
    if (::faccessat(AT_FDCWD, parent.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
    struct stat dir {};
    if (::stat(parent.c_str(), &dir) != 0) return false;
    const uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) && me != 0 && st.st_uid != me && dir.st_uid != me) return false;
    return true;
}

std::string standardizedPath(const std::string& path) {
    std::string p = std::filesystem::path(path).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

bool isDirectoryEmpty(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    size_t count = 0;
    bool dsStore = false;
    while (struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        ++count;
        if (std::strcmp(e->d_name, ".DS_Store") == 0) dsStore = true;
        if (count > 1) break;
    }
    ::closedir(dir);
    if (count == 0) {
        writeToStandardError("directory is EMPTY\n");
        return true;
    }
    if (count == 1 && dsStore) {
        writeToStandardError(".DS_Store is the ONLY item in this folder\n");
        return true;
    }
    return false;
}

bool itemIsEarlierThan(const std::string& path, SystemTime date) {
    auto fileDate = fileDateForAging(path);
    if (!fileDate) {
        platformLog("itemIsEarlierThan -> file may NOT exist anymore?????");
        return false;
    }
    return *fileDate < date;
}

void moveFileToUserTrash(const std::string& path, const Clock& clock) {
    const std::string item = standardizedPath(path);
    if (item.empty() || !isDeletable(item)) {
        platformLog("moveFileToUserTrash => item [%s] is NOT deletable...", item.c_str());
        return;
    }
    if (!userTrashFilesDirectory()) return;
    if (!moveToTrash(item, clock)) {
        platformLog("moveFileToUserTrash -> Move operation did not succeed! for [%s]",
                    item.c_str());
    }
}

std::string computeCurrentDaysFolderString2(std::int16_t hours, std::int16_t minutes,
                                            const Clock& clock) {
    const SystemTime moment =
        clock.now() - std::chrono::hours(hours) - std::chrono::minutes(minutes);
    return formatLocalTime(moment, "%Y_%m_%d");
}

std::optional<std::string> runShellScript2(const std::string* launchPath,
                                           const std::vector<std::string>* args) {
    if (!launchPath) {
        platformLog("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n");
        return std::nullopt;
    }
    if (!args) platformLog("runShellScript2 => NO param");
    ProcessResult r = runProcess(*launchPath, args ? *args : std::vector<std::string>{});
    if (!r.started) {
        platformLog("runShellScript2 => cannot start [%s]", launchPath->c_str());
        return std::nullopt;
    }
    if (!r.exitedNormally || r.exitStatus != 0) platformLog("runShellScript2 Task failed.");
    if (!isValidUtf8(r.standardOutput)) return std::nullopt;
    return std::move(r.standardOutput);
}

bool runShellScript(const std::string* scriptName, const std::vector<std::string>* args) {
    if (!scriptName) {
        platformLog("\n\nrunShellScript FAILED => scriptName==nil!\n\n");
        return false;
    }
    auto script = pathForResource(*scriptName);
    if (!script || scriptName->find('/') != std::string::npos) {
        platformLog("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n",
                    scriptName->c_str());
        return false;
    }
    std::vector<std::string> argv = args ? *args : std::vector<std::string>{};
    std::string program = *script;
    // A resource copied without its execute bit still runs through the shell.
    if (::access(program.c_str(), X_OK) != 0) {
        argv.insert(argv.begin(), program);
        program = "/bin/sh";
    }
    ProcessResult r = runProcess(program, argv);
    if (!r.started) {
        platformLogText("Task failed.");
        return false;
    }
    platformLogText(r.exitedNormally && r.exitStatus == 0 ? "Task succeeded." : "Task failed.");
    if (containsIgnoringCase(r.standardOutput, "not connected")) {
        platformLog("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n");
        return false;
    }
    return true;
}

}  // namespace vorn
