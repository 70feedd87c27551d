#pragma once
// The source-folder scan: walks the source tree in name order, mirrors its folders into the
// mirror folder, and chooses the first eligible photo that is completely written, then builds
// its upload item record.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "app/FolderScanner.h"
#include "app/UserInterface.h"
#include "platform/Clock.h"

namespace vorn {

class SourceFolderScanner : public FolderScanner {
  public:
    // settleInterval: a file is chosen only once its size and modification time have stayed
    // unchanged this long, so a photo still being copied is never uploaded half-written.
    explicit SourceFolderScanner(
        std::shared_ptr<Clock> clock = Clock::system(),
        std::chrono::milliseconds settleInterval = std::chrono::seconds(1));

    ScanOutcome chooseNextItem(const ScanInput& input) override;

    // Where the photos waiting after each pass and the photos skipped for want of metadata are
    // reported; none by default. Set before the first pass.
    void setUserInterface(UserInterface* ui) { ui_ = ui; }

    // How many files had their embedded metadata read (for tests and benchmarks).
    std::uint64_t metadataReads() const { return metadataReads_.load(); }

  private:
    struct Stamp {
        std::int64_t size = -1;
        std::int64_t mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    enum class Verdict { Eligible, NotEligible, NotSettled };
    struct PassSettings {
        bool baseIdsFromFileNames = false;
        bool uploadMovie = false;
        // The mirror and problem folders (device, inode): never walked into.
        std::vector<std::pair<dev_t, ino_t>> filingFolders;
        std::string problemFolder;
        const std::function<bool(const std::string&)>* isWaitingToRetry = nullptr;
    };

    Verdict judgeFile(const PassSettings& settings, const std::string& full, const std::string& rel,
                      std::chrono::milliseconds& settleLeft);
    std::size_t countWaiting(const std::string& root, const std::string& rel);
    void reportSkipped(const std::string& rel);
    std::optional<std::string> walk(const PassSettings& settings, const ScanInput& input,
                                    const std::string& rel,
                                    std::optional<std::chrono::milliseconds>& retryAfter);
    ScanOutcome prepareItem(const ScanInput& input, const std::string& rel);
    // A movie left behind by a move cut short, whose photo is filed already, follows it.
    void fileStrandedMovie(const PassSettings& settings, const ScanInput& input,
                           const std::string& rel);

    std::shared_ptr<Clock> clock_;
    std::chrono::milliseconds settleInterval_;
    std::atomic<std::uint64_t> metadataReads_{0};
    // The base-file-name switch: shared by every scan, kept between passes.
    std::atomic<bool> useBaseFileName_{true};
    // Files found without metadata, by path: skipped while their size and time stay the same.
    std::mutex cacheMutex_;
    struct Without {
        Stamp stamp;
        bool reported = false;
    };
    std::unordered_map<std::string, Without> withoutMetadata_;
    UserInterface* ui_ = nullptr;
};

}  // namespace vorn
