#include "support/PhotoServiceProcess.h"

#include <signal.h>

#include <stdexcept>
#include <thread>

#include "support/TempDir.h"

namespace vorn::test {
namespace {

std::vector<std::string> serviceArguments(const PhotoServiceProcess::Options& options) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--data", options.dataDir.string()};
    if (options.orders) args.insert(args.end(), {"--orders", options.orders->string()});
    if (options.script) args.insert(args.end(), {"--script", options.script->string()});
    if (options.discard) args.push_back("--discard");
    return args;
}

}  // namespace

PhotoServiceProcess::PhotoServiceProcess(const Options& options)
    : dataDir_(options.dataDir),
      process_(std::string(VORN_BIN_DIR) + "/vorn-photo-service", serviceArguments(options)) {
    const std::string prefix = "listening on ";
    const std::string line = process_.readLine(std::chrono::seconds(20)).value_or("");
    if (line.rfind(prefix, 0) != 0)
        throw std::runtime_error("vorn-photo-service did not start: \"" + line + "\"");
    url_ = line.substr(prefix.size());
}

PhotoServiceProcess::PhotoServiceProcess(std::filesystem::path dataDir,
                                         std::optional<std::filesystem::path> orders,
                                         std::optional<std::filesystem::path> script)
    : PhotoServiceProcess(Options(std::move(dataDir), std::move(orders), std::move(script))) {}

PhotoServiceProcess::~PhotoServiceProcess() {
    process_.signal(SIGTERM);
    process_.wait(std::chrono::seconds(10));
}

std::vector<std::string> PhotoServiceProcess::requestLog() const {
    std::vector<std::string> lines;
    const std::string text = readFile(dataDir_ / "requests.jsonl");
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
