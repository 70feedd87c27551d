#pragma once
// The uploader's counters for a studio that watches several desks together: the Prometheus
// text format, in a file for the node exporter's textfile collector. The file is replaced
// whole (written beside it, then renamed), so a scrape never reads half of it; counters count
// from the process's start, as Prometheus expects (it notices a restart by the drop).

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/StatusBoard.h"
#include "platform/MainThread.h"

namespace vorn {

struct MetricsFacts {
    StatusSnapshot status;
    SystemTime now{};
    std::uint64_t resends = 0;
    std::string version;
    bool stopped = false;  // the orderly stop's last word: no state is current any more
};

// The exposition text: one HELP and TYPE per metric, every state of vorn_state with the
// current one at 1.
std::string prometheusText(const MetricsFacts& facts);

class MetricsFile {
  public:
    struct Options {
        // Where the file goes, asked at every write so a changed setting takes effect; empty:
        // no file. A name that ends in .prom is what the textfile collector reads.
        std::function<std::string()> path;
        std::string version;
        // Uploads sent a second time; none known: 0.
        std::function<std::uint64_t()> resends;
        std::chrono::milliseconds interval{15000};
    };

    MetricsFile(const StatusBoard& board, Options options);
    ~MetricsFile();
    MetricsFile(const MetricsFile&) = delete;
    MetricsFile& operator=(const MetricsFile&) = delete;

    // Writes now and then every interval on the main thread.
    void start(MainThread& mainThread);
    // Writes the file now (from any thread); false when there is none to write or it failed.
    bool write();
    // The last write at the orderly stop: every state at 0 but "stopped".
    void writeStopped();

  private:
    bool writeLocked(bool stopped);

    const StatusBoard& board_;
    Options options_;
    std::mutex mutex_;
    std::string lastPath_;  // written last; removed when the setting moves the file
    bool stopped_ = false;
    TimerPtr timer_;
};

}  // namespace vorn
