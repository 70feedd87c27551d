#pragma once
// Self-relaunch: the application starts the relauncher (tools/vorn-relaunch), which outlives it,
// waits for this process to end and starts the application again with its original command
// line; then the application quits. Under the systemd user unit the application instead exits
// with kRelaunchExitStatus and the unit starts the fresh instance, so there is never a second one.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Process.h"

namespace vorn {

// Launch flags of a relaunch request: 1 brings the new instance to the front; 0x100300
// (launch-and-hide | don't-switch | don't-add-to-recents) starts it hidden in the background.
inline constexpr std::uint32_t kLSLaunchDefaults = 1;
inline constexpr std::uint32_t kLSLaunchAndHide = 0x00100000;
inline constexpr std::uint32_t kLSLaunchInBackground = 0x00100300;  // 1049344

// Exit status that asks the systemd unit for a fresh instance (RestartForceExitStatus=).
inline constexpr int kRelaunchExitStatus = 75;

// The environment variable the unit sets so that a relaunch exits instead of spawning.
inline constexpr const char* kUnderSystemdVariable = "VORN_UNDER_SYSTEMD";

// The relauncher's file name, beside the application's executable.
inline constexpr const char* kRelauncherName = "vorn-relaunch";

struct RelaunchRequest {
    std::uint32_t LSLaunchFlags = kLSLaunchDefaults;
    std::string sender;  // who asked (class name), for the log
};

// Everything a relaunch takes from the running process; current() reads it from this one.
struct RelaunchContext {
    std::string relauncherPath;                     // the vorn-relaunch executable
    std::string applicationPath;                    // the executable to start again
    pid_t pid = 0;                                  // the process the relauncher waits for
    std::vector<std::string> applicationArguments;  // argv[1..] of the original command line
    bool underSystemd = false;

    static RelaunchContext current();
};

// The flags of a relaunch: in front when the main window was shown and active at the stall, so
// the new instance shows it again; hidden in the background otherwise.
inline std::uint32_t launchFlagsFor(bool mainWindowInFront) {
    return mainWindowInFront ? kLSLaunchDefaults : kLSLaunchInBackground;
}

// True when the flags ask for a hidden start in the background.
inline bool launchesInBackground(std::uint32_t flags) {
    return (flags & kLSLaunchAndHide) != 0;
}

// The relauncher's argv:
//   relauncherPath APP PID FLAGS [-- ARGS...]
// PID and FLAGS in decimal; the original arguments follow "--" verbatim, one per argv entry.
std::vector<std::string> relauncherArguments(const std::string& relauncherPath,
                                             const std::string& applicationPath, pid_t pid,
                                             std::uint32_t flags,
                                             const std::vector<std::string>& applicationArguments);

// Splits the NUL-separated contents of /proc/PID/cmdline into argv entries.
std::vector<std::string> splitCommandLine(std::string_view nulSeparated);
// This process's original argv (argv[0] included), read from /proc/self/cmdline.
std::vector<std::string> ownCommandLine();

// /proc/self/exe names a replaced executable "PATH (deleted)"; answers PATH when the suffix is
// there and PATH exists, else the path unchanged.
std::string liveExecutablePath(const std::string& procExePath);

// True when VORN_UNDER_SYSTEMD is set to a true value by our unit and systemd's INVOCATION_ID
// shows a unit really runs us (a stray variable in a terminal must not make the app just exit).
bool runningUnderSystemdUnit();

// relaunchApp: logs the request, then under the systemd unit calls terminate(kRelaunchExitStatus);
// otherwise starts the relauncher for this process and calls terminate(0). When the relauncher
// is missing or cannot be started it logs and answers false without terminating: quitting
// then would leave nothing to start the application again.
bool relaunchApp(const RelaunchRequest& request, std::function<void(int exitStatus)> terminate);
bool relaunchApp(const RelaunchRequest& request, std::function<void(int exitStatus)> terminate,
                 const RelaunchContext& context);

}  // namespace vorn
