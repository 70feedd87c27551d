#include "support/PhotoServiceProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vorn::test {

PhotoServiceProcess::PhotoServiceProcess(Options options) : dataDir_(options.dataDir) {
    std::string program = std::string(VORN_BIN_DIR) + "/vorn-photo-service";
    std::vector<std::string> args = {program, "--listen", options.listen, "--data",
                                     options.dataDir.string()};
    if (options.orders) args.insert(args.end(), {"--orders", options.orders->string()});
    if (options.script) args.insert(args.end(), {"--script", options.script->string()});
    if (options.discard) args.push_back("--discard");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + program);
    }

    // The first line names the address; nothing else is read, so later output may fill the
    // pipe without harm (the service writes nothing more there).
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        line.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    const std::string prefix = "listening on ";
    std::size_t colon = line.rfind(':', line.find("/vorn"));
    if (line.rfind(prefix, 0) != 0 || line.find('\n') == std::string::npos ||
        colon == std::string::npos) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(10));
        throw std::runtime_error("vorn-photo-service did not start: \"" + line + "\"");
    }
    url_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
    port_ = std::stoi(line.substr(colon + 1));
}

PhotoServiceProcess::~PhotoServiceProcess() {
    if (pid_ <= 0 || exited_) return;
    if (!stop()) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(10));
    }
}

std::optional<int> PhotoServiceProcess::waitExit(std::chrono::milliseconds timeout) {
    if (exited_) return exitStatus_;
    // Polls the child's state; there is no portable way to wait for a child with a timeout.
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exitStatus_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> PhotoServiceProcess::stop(std::chrono::milliseconds timeout) {
    if (!exited_) kill(pid_, SIGTERM);
    return waitExit(timeout);
}

std::vector<std::string> PhotoServiceProcess::requestLog() const {
    std::vector<std::string> lines;
    std::ifstream in(dataDir_ / "requests.jsonl", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A line still being written has no line end yet and is left out.
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        if (end > start) lines.push_back(text.substr(start, end - start));
    return lines;
}

bool PhotoServiceProcess::waitForRequests(std::size_t count,
                                          std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (requestLog().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vorn::test
