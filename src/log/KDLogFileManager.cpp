#include "log/KDLogFileManager.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

#include "BuildInfo.h"
#include "files/FileUtilities.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/SystemInfo.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultLogBaseName = "VornLogFile";
constexpr const char* kLogExtension = "log";
const std::string kRule(59, '=');

struct State {
    std::mutex lock;
    std::string logDir;
    std::shared_ptr<Clock> clock;
    std::string applicationName;
    std::string copyrightVersion;
    std::optional<std::string> logFile;
    int daysToSave = 0;  // of the last clean-up, repeated as each day begins; 0: none yet
};

State& state() {
    static State s;
    return s;
}

std::shared_ptr<Clock> currentClock() {
    std::lock_guard lock(state().lock);
    return state().clock ? state().clock : Clock::system();
}

std::string stringOption(const Dictionary& options, const char* key) {
    auto it = options.find(key);
    if (it == options.end()) return {};
    const std::string* s = it->second.asString();
    return s ? *s : std::string();
}

bool boolOption(const Dictionary& options, const char* key) {
    auto it = options.find(key);
    return it != options.end() && !it->second.isNone() && it->second.boolValue();
}

bool beginsWithIgnoringCase(const std::string& name, const std::string& prefix) {
    return name.size() >= prefix.size() &&
           ::strncasecmp(name.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// The file standard error writes to: however old it looks, the clean-up leaves it.
bool isStandardError(const struct stat& st) {
    struct stat err {};
    return ::fstat(STDERR_FILENO, &err) == 0 && err.st_dev == st.st_dev && err.st_ino == st.st_ino;
}

}  // namespace

void KDLogFileManager::configure(const std::string& logDir, std::shared_ptr<Clock> clock) {
    {
        std::lock_guard lock(state().lock);
        state().logDir = expandTildeInPath(logDir);
        state().clock = clock;
        state().daysToSave = 0;
    }
    setLogDay(std::move(clock), nullptr);  // until setupLogFile has a file to turn
}

std::string KDLogFileManager::logDirectory() {
    {
        std::lock_guard lock(state().lock);
        if (!state().logDir.empty()) return state().logDir;
    }
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') {
        return appendingPathComponent(x, "vorn");
    }
    return appendingPathComponent(homeDirectory(), ".local/state/vorn");
}

std::string KDLogFileManager::logFolder() {
    return appendingPathComponent(logDirectory(), "logs");
}

std::string KDLogFileManager::logFilePathFor(SystemTime t) {
    std::string name = getApplicationName();
    if (name.empty()) name = kDefaultLogBaseName;
    // The day turns at 03:00, so a night's work stays in one file.
    const std::string day = computeCurrentDaysFolderString2(3, 0, FixedClock(t));
    return logFolder() + "/" + name + "_" + day + "." + kLogExtension;
}

std::optional<std::string> KDLogFileManager::currentLogFilePath() {
    std::lock_guard lock(state().lock);
    return state().logFile;
}

std::string KDLogFileManager::getApplicationName() {
    std::string name = deletingPathExtension(build::kExecutableName);
    std::lock_guard lock(state().lock);
    state().applicationName = name;
    return name;
}

std::string KDLogFileManager::getCopyrightInfo() {
    std::string version = build::kVersion;
    std::lock_guard lock(state().lock);
    state().copyrightVersion = version;
    return version;
}

std::optional<std::string> KDLogFileManager::hostModelAndArch() {
    const std::optional<std::string> model = hardwareModel();
    return model ? *model + " (" + machineArchitecture() + ")"
                 : "machine: " + machineArchitecture();
}

namespace {

// Puts standard error onto the dated file at path (appending). Opened first and then put in
// place of descriptor 2: freopen would close standard error before knowing whether the new
// file opens, losing both on failure.
bool redirectStandardErrorTo(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        platformLog("setupLogFile => cannot open [%s]", path.c_str());
        return false;
    }
    std::fflush(stderr);
    flushLog();
    const bool redirected = ::dup2(fd, STDERR_FILENO) >= 0;
    ::close(fd);
    flushLog();
    if (!redirected) return false;
    std::lock_guard lock(state().lock);
    state().logFile = path;
    return true;
}

}  // namespace

bool KDLogFileManager::setupLogFile() {
    getCopyrightInfo();
    getApplicationName();

    const std::string folder = logFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) platformLog("createDirectoryAtPath returned error: %s", ec.message().c_str());
    if (!fs::is_directory(folder, ec)) return true;

    if (!redirectStandardErrorTo(logFilePathFor(currentClock()->now()))) return true;
    writeHeader();
    // A run that goes on for weeks writes each day into that day's file.
    setLogDay(currentClock(), [] { startNewDay(); });
    return true;
}

void KDLogFileManager::startNewDay() {
    std::error_code ec;
    fs::create_directories(logFolder(), ec);  // taken away during the run
    const std::string path = logFilePathFor(currentClock()->now());
    if (path != currentLogFilePath() && redirectStandardErrorTo(path)) writeHeader();
    int days;
    {
        std::lock_guard lock(state().lock);
        days = state().daysToSave;
    }
    if (days > 0) deleteOldLogs(days);
}

void KDLogFileManager::writeHeader() {
    const std::string version = getCopyrightInfo();
    const std::string name = getApplicationName();
    // The header of each run belongs to its start: written at every level but error.
    logAt(LogLevel::Warn, "%s", kRule.c_str());
    logAt(LogLevel::Warn, "%s", hostModelAndArch().value_or("Unknown machine").c_str());
    if (auto os = operatingSystemVersion()) {
        logAt(LogLevel::Warn, "OS: v%s", os->c_str());
    } else {
        logAt(LogLevel::Warn, "failed to get OS version from /etc/os-release???");
    }
    logAt(LogLevel::Warn, "%s => %s", name.c_str(), version.c_str());
    logAt(LogLevel::Warn, "%s", kRule.c_str());
}

void KDLogFileManager::deleteOldLogsWithOptions(const Dictionary& options) {
    std::string folder = stringOption(options, "sourcePath");
    if (folder.empty()) folder = logFolder();
    std::string baseName = stringOption(options, "baseName");
    if (baseName.empty()) baseName = getApplicationName();
    SystemTime before = currentClock()->now() - std::chrono::seconds(259200);
    if (auto it = options.find("beforeDate"); it != options.end() && it->second.asDate()) {
        before = it->second.asDate()->toTimePoint();
    }
    const bool deep = boolOption(options, "deleteSubDirectory");
    const bool immediately = boolOption(options, "deleteImmediately");

    if (baseName.empty()) {
        platformLog("deleteOldLogsWithOptions => no base name, nothing cleaned in [%s]",
                    folder.c_str());
        return;
    }
    folder = expandTildeInPath(folder);

    // Gathered first, then treated: the walk must not trip over the files it moves away.
    std::vector<std::string> items;
    std::error_code ec;
    if (deep) {
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                            ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            items.push_back(it->path().string());
        }
    } else {
        fs::directory_iterator it(folder, ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            items.push_back(it->path().string());
        }
        std::sort(items.begin(), items.end());
    }
    for (const auto& item : items) deleteItem(item, before, baseName, immediately);
}

void KDLogFileManager::deleteItem(const std::string& path, SystemTime beforeDate,
                                  const std::string& basename, bool deleteImmediately) {
    const std::string item = expandTildeInPath(path);
    struct stat st {};
    if (::stat(item.c_str(), &st) != 0) {
        platformLog("testDirectory=> curItem does NOT exist: %s", item.c_str());
        return;
    }
    if (S_ISDIR(st.st_mode) || isStandardError(st)) return;
    const std::string name = lastPathComponent(item);
    if (basename.empty() || !beginsWithIgnoringCase(name, basename)) return;
    if (!itemIsEarlierThan(item, beforeDate)) return;
    if (deleteImmediately) {
        platformLog("Item DELETED: [%s]", name.c_str());
        ::unlink(item.c_str());
    } else {
        platformLog("Item Moved To Trash: [%s]", name.c_str());
        moveFileToUserTrash(item, *currentClock());
    }
}

void KDLogFileManager::deleteOldLogs(int daysToSave) {
    // At least a day: a cut-off of "now" would throw away the file being written.
    const int days = std::max(daysToSave, 1);
    {
        std::lock_guard lock(state().lock);
        state().daysToSave = days;
    }
    platformLog("Checking for Old Log Files to Delete...");
    const SystemTime cutoff = currentClock()->now() - std::chrono::hours(24) * days;
    deleteOldLogsWithOptions(Dictionary{{"deleteSubDirectory", true},
                                        {"deleteImmediately", false},
                                        {"beforeDate", Date::fromTimePoint(cutoff)}});
    platformLog("Checking for Old Log Files to Delete...Done.");
    deleteOldLogsWithOptions(Dictionary{{"deleteSubDirectory", false},
                                        {"deleteImmediately", true},
                                        {"sourcePath", "~/Documents"},
                                        {"baseName", "myConsole"},
                                        {"beforeDate", Date::fromTimePoint(cutoff)}});
}

}  // namespace vorn
