#pragma once
// A real program started by a test: its standard output is read line by line, signals can be
// sent, and it is killed when the test ends.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

class ChildProcess {
  public:
    // Starts program with args; extra environment entries "NAME=value" are added.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();  // SIGKILL and reap when still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The next line of standard output (without its line end), or nothing on end of output or
    // timeout.
    std::optional<std::string> readLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads lines until one contains needle; all lines read are kept in output().
    bool waitForLine(const std::string& needle,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    const std::vector<std::string>& output() const { return lines_; }
    void signal(int sig);
    // Waits for the process to end; its exit status, or nothing on timeout. A death by signal
    // gives 128 + the signal number.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string buffer_;
    std::vector<std::string> lines_;
    bool exited_ = false;
    int status_ = 0;
};

}  // namespace vorn::test
