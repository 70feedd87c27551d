#pragma once
// Real processes for the relaunch tests: a process the test ends when it chooses, and a fake
// application (a shell script) that records how it was started.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

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

// The pid of a process that has ended and been collected.
inline pid_t gonePid() {
    ChildProcess done("/bin/true", {});
    done.wait();
    return done.pid();
}

// A shell that runs until finish() and writes MARKER just before it ends, so whatever starts
// after its end finds MARKER. It stays a zombie until reap().
class ControlledProcess : public ChildProcess {
  public:
    explicit ControlledProcess(const std::filesystem::path& marker)
        : ChildProcess("/bin/sh",
                       {"-c", "trap \": > '" + marker.string() +
                                  "'; exit\" TERM; echo up; while :; do sleep 0.02; done"}) {
        readLine();  // the trap is set
    }
    void finish() { signal(SIGTERM); }
    void reap() { wait(); }
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
