#include "app/Relaunch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/PlatformLog.h"
#include "platform/Resources.h"
#include "platform/Value.h"

extern char** environ;

namespace vorn {

namespace {

std::string describe(const RelaunchRequest& request) {
    Dictionary d;
    d["LSLaunchFlags"] = Value(static_cast<std::int64_t>(request.LSLaunchFlags));
    d["sender"] = Value(request.sender);
    return Value(std::move(d)).description();
}

bool isTrueText(const char* text) {
    if (!text) return false;
    return std::strcmp(text, "1") == 0 || ::strcasecmp(text, "true") == 0 ||
           ::strcasecmp(text, "yes") == 0;
}

}  // namespace

std::vector<std::string> relauncherArguments(const std::string& relauncherPath,
                                             const std::string& applicationPath, pid_t pid,
                                             std::uint32_t flags,
                                             const std::vector<std::string>& applicationArguments) {
    std::vector<std::string> argv{relauncherPath, applicationPath, std::to_string(pid),
                                  std::to_string(flags)};
    if (!applicationArguments.empty()) {
        argv.emplace_back("--");
        argv.insert(argv.end(), applicationArguments.begin(), applicationArguments.end());
    }
    return argv;
}

std::vector<std::string> splitCommandLine(std::string_view nulSeparated) {
    std::vector<std::string> argv;
    while (!nulSeparated.empty()) {
        std::size_t end = nulSeparated.find('\0');
        if (end == std::string_view::npos) {
            // A process that overwrote its arguments may leave the last one unterminated.
            argv.emplace_back(nulSeparated);
            break;
        }
        argv.emplace_back(nulSeparated.substr(0, end));
        nulSeparated.remove_prefix(end + 1);
    }
    return argv;
}

std::vector<std::string> ownCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return splitCommandLine(bytes);
}

std::string liveExecutablePath(const std::string& procExePath) {
    static constexpr std::string_view kDeleted = " (deleted)";
    if (procExePath.size() > kDeleted.size() && procExePath.ends_with(kDeleted)) {
        std::string stripped = procExePath.substr(0, procExePath.size() - kDeleted.size());
        std::error_code ec;
        if (std::filesystem::exists(stripped, ec)) return stripped;
    }
    return procExePath;
}

bool runningUnderSystemdUnit() {
    const char* invocation = std::getenv("INVOCATION_ID");
    return isTrueText(std::getenv(kUnderSystemdVariable)) && invocation && *invocation;
}

RelaunchContext RelaunchContext::current() {
    RelaunchContext c;
    c.applicationPath = liveExecutablePath(executablePath());
    c.relauncherPath =
        (std::filesystem::path(c.applicationPath).parent_path() / kRelauncherName).string();
    c.pid = ::getpid();
    std::vector<std::string> argv = ownCommandLine();
    if (!argv.empty()) c.applicationArguments.assign(argv.begin() + 1, argv.end());
    c.underSystemd = runningUnderSystemdUnit();
    return c;
}

bool relaunchApp(const RelaunchRequest& request, std::function<void(int exitStatus)> terminate) {
    return relaunchApp(request, std::move(terminate), RelaunchContext::current());
}

bool relaunchApp(const RelaunchRequest& request, std::function<void(int exitStatus)> terminate,
                 const RelaunchContext& context) {
    std::string info = describe(request);
    platformLog("Inside %s => %s...param = [%s]", "AppController", "relaunchApp:", info.c_str());
    platformLog("Inside %s => %s...info = [%s]", "Relaunch", "relaunch:", info.c_str());

    if (context.underSystemd) {
        // A relauncher would sit in the unit's cgroup and die with it; the unit restarts us.
        platformLog(
            "Running under the systemd unit: exiting with status %d so that it starts a "
            "fresh instance",
            kRelaunchExitStatus);
        if (terminate) terminate(kRelaunchExitStatus);
        return true;
    }

    if (::access(context.relauncherPath.c_str(), X_OK) != 0) {
        platformLog("Cannot relaunch: no relauncher at %s (%s); staying up",
                    context.relauncherPath.c_str(), std::strerror(errno));
        return false;
    }
    std::vector<std::string> argv =
        relauncherArguments(context.relauncherPath, context.applicationPath, context.pid,
                            request.LSLaunchFlags, context.applicationArguments);
    std::string error;
    std::optional<pid_t> child = startDetached(argv, &error);
    if (!child) {
        platformLog("Cannot relaunch: the relauncher did not start (%s); staying up",
                    error.c_str());
        return false;
    }
    platformLog("Relauncher %s started as process %d for process %d (flags %u); terminating",
                context.relauncherPath.c_str(), static_cast<int>(*child),
                static_cast<int>(context.pid), request.LSLaunchFlags);
    if (terminate) terminate(0);
    return true;
}

}  // namespace vorn
