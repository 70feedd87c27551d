#pragma once
// The stand-in photo service (vorn-photo-service from the build tree) run for one test on a
// free loopback port, stopped when the test ends.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace vorn::test {

class PhotoServiceProcess {
  public:
    struct Options {
        explicit Options(std::filesystem::path data,
                         std::optional<std::filesystem::path> ordersFile = std::nullopt,
                         std::optional<std::filesystem::path> scriptFile = std::nullopt)
            : dataDir(std::move(data)),
              orders(std::move(ordersFile)),
              script(std::move(scriptFile)) {}
        std::filesystem::path dataDir;
        std::optional<std::filesystem::path> orders;  // --orders
        std::optional<std::filesystem::path> script;  // --script
        bool discard = false;                         // --discard: a sink that stores nothing
    };

    // Starts the service and waits for its "listening on" line; throws when it does not come.
    explicit PhotoServiceProcess(const Options& options);
    explicit PhotoServiceProcess(std::filesystem::path dataDir,
                                 std::optional<std::filesystem::path> orders = std::nullopt,
                                 std::optional<std::filesystem::path> script = std::nullopt);
    ~PhotoServiceProcess();  // SIGTERM, then SIGKILL when it does not end within 10 s

    const std::string& url() const { return url_; }  // http://127.0.0.1:PORT/vorn

    // The lines of DIR/requests.jsonl written so far.
    std::vector<std::string> requestLog() const;
    // Waits until the request log holds at least count lines.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    std::filesystem::path dataDir_;
    ChildProcess process_;
    std::string url_;
};

}  // namespace vorn::test
