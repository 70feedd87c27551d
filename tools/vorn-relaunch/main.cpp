// vorn-relaunch: waits for a process to end, then starts the application again.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/PlatformLog.h"
#include "platform/Process.h"

extern char** environ;

namespace {

using vorn::platformLog;

constexpr std::uint32_t kLaunchAndHide = 0x00100000;
constexpr int kBadArguments = 2;

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: vorn-relaunch APP PID FLAGS [-- ARGS...]\n"
        "\n"
        "Waits until process PID has ended, then starts the executable APP again in a new\n"
        "session (standard input from /dev/null, standard output and error kept) and exits 0.\n"
        "\n"
        "  APP    path of the executable to start; it becomes the new process's argv[0]\n"
        "  PID    process to wait for, in decimal; one that is already gone starts APP at once\n"
        "  FLAGS  launch flags, in decimal: 1 starts APP in front: --foreground goes in\n"
        "         front of ARGS unless already there, and any --background is dropped;\n"
        "         flags with the launch-and-hide bit (0x100000, e.g. 1049344) start it hidden\n"
        "         in the background: the same with --background, dropping --foreground\n"
        "  ARGS   the application's original arguments (its argv[1..]), one per argument,\n"
        "         after a literal \"--\"; they are passed on exactly\n"
        "\n"
        "Exit status: 0 when APP was started, 1 when it could not be started, 2 on bad\n"
        "arguments. What it does is logged to standard error.\n"
        "Environment: VORN_RELAUNCH_NO_PIDFD=1 waits by polling /proc every 100 ms instead of\n"
        "through a pidfd.\n");
}

template <typename T>
std::optional<T> parseDecimal(const std::string& text) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

struct Arguments {
    std::string app;
    pid_t pid = 0;
    std::uint32_t flags = 1;
    std::vector<std::string> appArguments;
};

// Answers the arguments, or nothing with *exitCode set (0 for --help).
std::optional<Arguments> parseArguments(int argc, char** argv, int* exitCode) {
    std::vector<std::string> positional;
    Arguments a;
    bool sawSeparator = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            a.appArguments.assign(argv + i + 1, argv + argc);
            sawSeparator = true;
            break;
        }
        if (positional.empty() && (arg == "--help" || arg == "-h")) {
            printUsage(stdout);
            *exitCode = 0;
            return std::nullopt;
        }
        if (positional.empty() && arg == "--version") {
            std::printf("vorn-relaunch %s\n", VORN_VERSION);
            *exitCode = 0;
            return std::nullopt;
        }
        if (positional.empty() && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "vorn-relaunch: unknown option '%s'\n", arg.c_str());
            *exitCode = kBadArguments;
            return std::nullopt;
        }
        positional.push_back(arg);
    }
    auto bad = [&](const std::string& why) -> std::optional<Arguments> {
        std::fprintf(stderr, "vorn-relaunch: %s\n", why.c_str());
        printUsage(stderr);
        *exitCode = kBadArguments;
        return std::nullopt;
    };
    if (positional.size() != 3) {
        return bad(positional.size() < 3
                       ? "missing arguments"
                       : "unexpected argument " + positional[3] +
                             (sawSeparator ? "" : " (original arguments go after --)"));
    }
    a.app = positional[0];
    auto pid = parseDecimal<std::int64_t>(positional[1]);
    // 0 and negative values name process groups in kill(); never a single process.
    if (!pid || *pid <= 0 || *pid > INT32_MAX)
        return bad("PID must be a positive number: " + positional[1]);
    a.pid = static_cast<pid_t>(*pid);
    if (a.pid == ::getpid()) return bad("PID is the relauncher itself");
    auto flags = parseDecimal<std::uint32_t>(positional[2]);
    if (!flags) return bad("FLAGS must be a number: " + positional[2]);
    a.flags = *flags;
    if (a.app.empty() || ::access(a.app.c_str(), X_OK) != 0) {
        return bad("APP is not an executable file: " + a.app);
    }
    return a;
}

struct ProcStat {
    char state = '?';
    unsigned long long startTime = 0;
};

// State and start time from /proc/PID/stat, or nothing when the process is gone.
std::optional<ProcStat> readProcStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    if (!in) return std::nullopt;
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size()) return std::nullopt;
    std::vector<std::string> fields;
    std::size_t pos = close + 2;
    while (pos < line.size()) {
        std::size_t space = line.find(' ', pos);
        if (space == std::string::npos) space = line.size();
        fields.push_back(line.substr(pos, space - pos));
        pos = space + 1;
    }
    // fields[0] is field 3 (state); field 22 (starttime) is fields[19].
    if (fields.size() < 20 || fields[0].empty()) return std::nullopt;
    ProcStat s;
    s.state = fields[0][0];
    s.startTime = std::strtoull(fields[19].c_str(), nullptr, 10);
    return s;
}

bool hasEnded(const std::optional<ProcStat>& s) {
    // A zombie has ended; only its parent has not collected it yet.
    return !s || s->state == 'Z' || s->state == 'X' || s->state == 'x';
}

bool procAvailable() {
    return ::access("/proc/self/stat", R_OK) == 0;
}

void sleep100ms() {
    timespec t{0, 100 * 1000 * 1000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Polls every 100 ms. The start time tells the original process from a later one that got the
// same pid; when we are its child, losing it as our parent also counts.
void pollUntilEnded(pid_t pid, bool wasParent) {
    if (procAvailable()) {
        std::optional<ProcStat> first = readProcStat(pid);
        if (hasEnded(first)) return;
        for (;;) {
            sleep100ms();
            if (wasParent && ::getppid() != pid) return;
            std::optional<ProcStat> now = readProcStat(pid);
            if (hasEnded(now) || now->startTime != first->startTime) return;
        }
    }
    while (::kill(pid, 0) == 0 || errno != ESRCH) {
        if (wasParent && ::getppid() != pid) return;
        sleep100ms();
    }
}

bool alreadyGone(pid_t pid) {
    if (procAvailable()) return hasEnded(readProcStat(pid));
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

void waitForProcessEnd(pid_t pid) {
    // Started by the process itself we are its child: its pid cannot be reused while we still
    // see it as our parent, so checking that around pidfd_open pins the right process.
    bool wasParent = ::getppid() == pid;
    if (alreadyGone(pid)) {
        platformLog("Process %d is already gone; starting at once", pid);
        return;
    }
    const char* noPidfd = std::getenv("VORN_RELAUNCH_NO_PIDFD");
    bool usePidfd = !(noPidfd && *noPidfd && std::strcmp(noPidfd, "0") != 0);
#ifdef SYS_pidfd_open
    if (usePidfd) {
        int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0 && errno == ESRCH) {
            platformLog("Process %d is already gone; starting at once", pid);
            return;
        }
        if (fd >= 0) {
            if (wasParent && ::getppid() != pid) {
                ::close(fd);
                platformLog("Process %d has ended", pid);
                return;
            }
            platformLog("Waiting for process %d to end (pidfd)", pid);
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
            }
            ::close(fd);
            platformLog("Process %d has ended", pid);
            return;
        }
        platformLog("No pidfd for process %d (%s); polling every 100 ms", pid,
                    std::strerror(errno));
    }
#endif
    platformLog("Waiting for process %d to end (polling)", pid);
    pollUntilEnded(pid, wasParent);
    platformLog("Process %d has ended", pid);
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    std::optional<Arguments> args = parseArguments(argc, argv, &exitCode);
    if (!args) return exitCode;

    bool background = (args->flags & kLaunchAndHide) != 0;
    platformLog("Relaunch of %s after process %d, flags %u (%s)", args->app.c_str(), args->pid,
                args->flags, background ? "hidden in the background" : "in front");
    waitForProcessEnd(args->pid);

    std::vector<std::string> newArgv{args->app};
    // The flags decide, whatever an earlier relaunch left on the command line.
    const std::string wanted = background ? "--background" : "--foreground";
    const std::string unwanted = background ? "--foreground" : "--background";
    const auto& given = args->appArguments;
    const auto optionsEnd = std::find(given.begin(), given.end(), "--");
    if (std::find(given.begin(), optionsEnd, wanted) == optionsEnd) newArgv.push_back(wanted);
    // Options end at "--": what follows is the application's own, passed on untouched.
    bool haveWanted = false, options = true;
    for (const std::string& arg : given) {
        options = options && arg != "--";
        if (options && (arg == unwanted || (arg == wanted && haveWanted))) continue;
        haveWanted = haveWanted || (options && arg == wanted);
        newArgv.push_back(arg);
    }

    std::string startError;
    std::optional<pid_t> started = vorn::startDetached(newArgv, &startError);
    if (!started) platformLog("Cannot start %s: %s", newArgv[0].c_str(), startError.c_str());
    if (!started) return 1;
    platformLog("Started %s as process %d with %zu argument(s)", args->app.c_str(), *started,
                newArgv.size() - 1);
    return 0;
}
