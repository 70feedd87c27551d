#pragma once
// The stand-in photo service (vorn-photo-service from the build tree) run for one test on a
// free loopback port, stopped when the test ends.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorn::test {

class PhotoServiceProcess {
  public:
    struct Options {
        Options(std::filesystem::path data,
                std::optional<std::filesystem::path> ordersFile = std::nullopt,
                std::optional<std::filesystem::path> scriptFile = std::nullopt,
                std::string address = "127.0.0.1:0")
            : dataDir(std::move(data)),
              orders(std::move(ordersFile)),
              script(std::move(scriptFile)),
              listen(std::move(address)) {}

        std::filesystem::path dataDir;                // required
        std::optional<std::filesystem::path> orders;  // --orders
        std::optional<std::filesystem::path> script;  // --script
        std::string listen;
        bool discard = false;  // --discard: a sink that stores nothing
    };

    // Starts the service and waits for its "listening on" line; throws when it does not come.
    explicit PhotoServiceProcess(Options options);
    explicit PhotoServiceProcess(std::filesystem::path dataDir,
                                 std::optional<std::filesystem::path> orders = std::nullopt,
                                 std::optional<std::filesystem::path> script = std::nullopt)
        : PhotoServiceProcess(Options(std::move(dataDir), std::move(orders), std::move(script))) {}
    ~PhotoServiceProcess();  // SIGTERM, then SIGKILL when it does not end within 10 s
    PhotoServiceProcess(const PhotoServiceProcess&) = delete;
    PhotoServiceProcess& operator=(const PhotoServiceProcess&) = delete;

    const std::string& url() const { return url_; }  // http://127.0.0.1:PORT/vorn
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

    // SIGTERM and wait: the exit status (128 + signal when killed), or nothing on timeout.
    std::optional<int> stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The lines of DIR/requests.jsonl written so far.
    std::vector<std::string> requestLog() const;
    // Waits until the request log holds at least count lines.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    std::filesystem::path dataDir_;
    pid_t pid_ = -1;
    bool exited_ = false;
    int exitStatus_ = 0;
    std::string url_;
    int port_ = 0;
};

}  // namespace vorn::test
