#pragma once
// Real processes for the relaunch tests: a process the test ends when it chooses, and a fake
// application (a shell script) that records how it was started.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

extern char** environ;

namespace vorn::test {

inline std::string relauncherBinary() {
    return std::string(VORN_BIN_DIR) + "/vorn-relaunch";
}

// Bounded wait for a file another process writes.
inline bool waitForFile(const std::filesystem::path& path,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::error_code ec;
    while (!std::filesystem::exists(path, ec)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline pid_t spawnOrThrow(std::vector<std::string> args, posix_spawn_file_actions_t* actions) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

// The pid of a process that has ended and been collected.
inline pid_t gonePid() {
    pid_t pid = spawnOrThrow({"/bin/true"}, nullptr);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return pid;
}

// `sh -c 'read x; : > MARKER'` on a pipe: it runs until finish() and writes MARKER just before
// it ends, so whatever starts after its end finds MARKER.
class ControlledProcess {
  public:
    explicit ControlledProcess(const std::filesystem::path& marker) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);
        pid_ = spawnOrThrow({"/bin/sh", "-c", "read x; : > '" + marker.string() + "'"}, &actions);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        writeFd_ = fds[1];
    }
    ~ControlledProcess() {
        if (writeFd_ >= 0) ::close(writeFd_);
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }
    ControlledProcess(const ControlledProcess&) = delete;
    ControlledProcess& operator=(const ControlledProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Lets the process end; it stays a zombie until reap().
    void finish() {
        if (writeFd_ < 0) return;
        [[maybe_unused]] ssize_t n = ::write(writeFd_, "\n", 1);
        ::close(writeFd_);
        writeFd_ = -1;
    }
    void reap() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
    }

  private:
    pid_t pid_ = -1;
    int writeFd_ = -1;
    bool reaped_ = false;
};

// What the fake application saw when it started.
struct FakeAppRun {
    std::vector<std::string> arguments;  // its argv[1..]
    std::string standardInput;           // what fd 0 pointed at
    bool markerExisted = false;          // the ControlledProcess had ended before it started
    std::string environmentValue;        // $VORN_FAKE_APP_ENV, or "unset"
    pid_t pid = 0;
    pid_t session = 0;
    int starts = 0;  // how many times it was started
};

// A script at dir/fake-app that records its start into dir/run/ (dir/run/done last) and prints
// "fake app PID started" on its standard output.
class FakeApp {
  public:
    FakeApp(const TempDir& dir, const std::filesystem::path& marker)
        : path_(dir / "fake-app"), run_(dir / "run") {
        std::filesystem::create_directories(run_);
        std::string out = run_.string();
        writeFile(path_,
                  "#!/bin/sh\n"
                  "out='" +
                      out +
                      "'\n"
                      "echo $$ >> \"$out/starts\"\n"
                      "cat /proc/$$/cmdline > \"$out/cmdline\"\n"
                      "readlink /proc/$$/fd/0 > \"$out/stdin\"\n"
                      "cat /proc/$$/stat > \"$out/stat\"\n"
                      "if [ -e '" +
                      marker.string() +
                      "' ]; then echo yes; else echo no; fi"
                      " > \"$out/marker\"\n"
                      "printf '%s\\n' \"${VORN_FAKE_APP_ENV-unset}\" > \"$out/env\"\n"
                      "echo \"fake app $$ started\"\n"
                      ": > \"$out/done.tmp\" && mv \"$out/done.tmp\" \"$out/done\"\n");
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
    }

    std::string path() const { return path_.string(); }

    std::optional<FakeAppRun> waitForRun(
        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        if (!waitForFile(run_ / "done", timeout)) return std::nullopt;
        FakeAppRun r;
        // The kernel starts a script as: /bin/sh SCRIPT ARGS...
        std::string cmdline = readFile(run_ / "cmdline");
        std::vector<std::string> argv;
        std::size_t pos = 0;
        while (pos < cmdline.size()) {
            std::size_t end = cmdline.find('\0', pos);
            if (end == std::string::npos) end = cmdline.size();
            argv.push_back(cmdline.substr(pos, end - pos));
            pos = end + 1;
        }
        if (argv.size() >= 2) r.arguments.assign(argv.begin() + 2, argv.end());
        r.standardInput = trimmed(readFile(run_ / "stdin"));
        r.markerExisted = trimmed(readFile(run_ / "marker")) == "yes";
        r.environmentValue = trimmed(readFile(run_ / "env"));
        std::string stat = readFile(run_ / "stat");
        r.pid = std::stoi(stat);
        // After "pid (comm) ": state ppid pgrp session
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string state;
        long ppid = 0, pgrp = 0, session = 0;
        fields >> state >> ppid >> pgrp >> session;
        r.session = static_cast<pid_t>(session);
        std::istringstream starts(readFile(run_ / "starts"));
        for (std::string line; std::getline(starts, line);) ++r.starts;
        return r;
    }

  private:
    static std::string trimmed(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }
    std::filesystem::path path_;
    std::filesystem::path run_;
};

}  // namespace vorn::test
