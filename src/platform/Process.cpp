#include "platform/Process.h"

#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

extern char** environ;

namespace vorn {
namespace {

// A pipe end that landed on 0, 1 or 2 (because the caller closed one of them) would be
// clobbered by the child's own redirection; keep both ends above the standard descriptors.
bool liftAboveStandardFds(Fd& fd) {
    if (fd.get() > 2) return true;
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args) {
    ProcessResult result;
    int fds[2];
    // O_CLOEXEC: a child started by another thread at the same moment must not inherit the
    // write end, or our read would wait for that unrelated child to end.
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    Fd readEnd(fds[0]);
    Fd writeEnd(fds[1]);
    if (!liftAboveStandardFds(readEnd) || !liftAboveStandardFds(writeEnd)) return result;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return result;
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);

    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();  // only the child holds it now, so its exit ends our read
    if (rc != 0) return result;
    result.started = true;

    // Drain while the child runs: a child writing more than the pipe holds would block
    // forever if we waited for it first.
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buf, sizeof buf);
        if (n > 0) {
            result.standardOutput.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    readEnd.reset();

    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == pid && WIFEXITED(status)) {
        result.exitedNormally = true;
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

std::optional<pid_t> startDetached(const std::vector<std::string>& argv, std::string* error) {
    auto fail = [&](const char* what, int err) -> std::optional<pid_t> {
        if (error) *error = std::string(what) + ": " + std::strerror(err);
        return std::nullopt;
    };
    if (argv.empty()) return fail("no program", EINVAL);

    std::vector<char*> cargv;
    cargv.reserve(argv.size() + 1);
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Sockets, watches and files of the caller must not live on in a process that outlives it.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    // The caller ignores SIGPIPE and may block signals in its threads; neither should carry over.
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, cargv[0], &actions, &attr, cargv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return fail(argv[0].c_str(), rc);
    return pid;
}

}  // namespace vorn
