#pragma once
// The source-folder scan: walks the source tree in name order, mirrors its folders into the
// mirror folder, and chooses the first eligible photo that is completely written, then builds
// its upload item record.

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "upload/FolderScanner.h"
#include "upload/UserInterface.h"

namespace vorn {

class SourceFolderScanner : public FolderScanner {
  public:
    struct Options {
        // A photo is chosen only once it is completely written: nobody has it open for writing,
        // or its size and modification time have stayed unchanged this long (its time stamp
        // says so, or two looks this far apart by the monotonic clock do).
        std::chrono::milliseconds settleInterval = std::chrono::seconds(1);
        // The monotonic clock the looks are timed by; the steady clock when empty.
        std::function<std::chrono::steady_clock::time_point()> monotonicNow;
        // Items to pass over for now (path relative to the source folder), e.g. while their
        // retry wait runs; they are asked again on every pass.
        std::function<bool(const std::string& rel)> skipItem;
        // How often files that rested without metadata in a folder on a shared file system are
        // looked at again, for writes from other machines that no event reports. On a local
        // disk the watcher reports every write, and lost events have everything looked at.
        std::chrono::milliseconds sharedLookInterval = std::chrono::minutes(10);
        // Whether the folder open at dirFd is on a shared file system; onSharedFileSystem
        // when empty.
        std::function<bool(int dirFd)> isShared;
    };

    explicit SourceFolderScanner(
        std::shared_ptr<Clock> clock = Clock::system(),
        std::chrono::milliseconds settleInterval = std::chrono::seconds(1));
    SourceFolderScanner(std::shared_ptr<Clock> clock, Options options);

    ScanOutcome chooseNextItem(const ScanInput& input) override;

    void noteWatching(bool watching) override;
    void noteChangedFolders(const std::string& watchedRoot,
                            const std::vector<std::string>& folders) override;
    void noteFileClosed(const std::string& path) override;
    void requestFullPass() override;

    // Where the photos waiting after each pass and the photos skipped for want of metadata or
    // lying loose in the source folder are reported; none by default. Set before the first pass.
    void setUserInterface(UserInterface* ui) { ui_ = ui; }
    // Counts the photos waiting below root before any pass has (by name only: photos without
    // metadata are among them until a pass has read them). Shown unless a pass counted first.
    void reportWaitingBeforeFirstPass(const std::string& root);

    // Counters for tests and benchmarks: files whose embedded metadata was read, and files
    // judged past their name (looked at on disk).
    std::uint64_t metadataReads() const { return metadataReads_.load(); }
    std::uint64_t judgedFiles() const { return judgedFiles_.load(); }
    std::size_t filesWithoutMetadata() {
        std::lock_guard lock(cacheMutex_);
        return withoutMetadata_.size();
    }

  private:
    struct Stamp {
        std::int64_t size = -1;
        std::int64_t mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    struct FileId {
        dev_t dev = 0;
        ino_t ino = 0;
        bool operator==(const FileId&) const = default;
    };
    struct FileIdHash {
        std::size_t operator()(const FileId& id) const {
            return std::hash<std::uint64_t>()(static_cast<std::uint64_t>(id.ino) * 31 +
                                              static_cast<std::uint64_t>(id.dev));
        }
    };
    struct Entry {
        std::string name;
        ino_t ino = 0;  // as the folder listing gives it
        bool isDirectory = false;
        bool isLink = false;
        // Found without metadata after it had rested: passed over untouched while the folder
        // lists it under the same inode, until its writer closes it again or every rested file
        // is asked to be looked at again (restGeneration_ moves on; on a shared file system,
        // also when sharedLookGeneration_ does).
        bool rested = false;
        std::uint64_t restGeneration = 0;
        std::uint64_t sharedLookGeneration = 0;
        // Judged not eligible while the folder was vouched for by the watcher: skipped,
        // untouched, until an event names the folder.
        bool ineligible = false;
        // For the waiting count: named like a photo, and not waiting (found without metadata,
        // a link not followed, or gone since it was listed).
        bool photoName = false;
        bool notWaiting = false;
        // A hidden file or a movie: never a photo to send, whatever it holds.
        bool ruledOutByName = false;
    };
    struct FolderCache {
        std::int64_t mtimeNs = -1;      // of the listing below; -1: list again unless vouched for
        std::int64_t seenMtimeNs = -1;  // the folder's time when it was listed
        bool listed = false;
        std::uint64_t walkedInPass = 0;  // the last pass that walked it
        dev_t device = 0;                // of the folder, and so of its files
        std::vector<Entry> entries;
    };
    enum class Verdict { Eligible, NotEligible, NotSettled, Skipped };
    struct PassSettings {
        bool baseIdsFromFileNames = false;
        bool uploadMovie = false;
        bool full = true;  // judge every file, trust nothing the watcher vouched for
        std::uint64_t restGeneration = 0;
        std::uint64_t sharedLookGeneration = 0;
        std::uint64_t pass = 0;
        // The mirror and problem folders (device, inode): never walked into.
        std::vector<std::pair<dev_t, ino_t>> filingFolders;
        std::string rootFolder, mirrorFolder, problemFolder;
        const std::function<bool(const std::string&)>* isWaitingToRetry = nullptr;
        bool operator==(const PassSettings& o) const {
            return baseIdsFromFileNames == o.baseIdsFromFileNames && uploadMovie == o.uploadMovie;
        }
    };
    // A file found not yet written, as it was when first seen so.
    struct Look {
        Stamp stamp;
        std::chrono::steady_clock::time_point at;
        std::uint64_t pass = 0;  // the last pass that met it
    };
    struct Found {
        std::string rel;
        std::optional<Value> metadata;
        bool metadataFromPng = false;
        bool notWaiting = false;  // without metadata, a link not followed, or gone
    };

    Verdict judgeFile(const PassSettings& settings, int dirFd, const Entry& entry,
                      const std::string& folder, const std::string& folderRel,
                      std::chrono::milliseconds& settleLeft, Found& found, bool& rested);
    std::optional<Found> walk(const PassSettings& settings, const ScanInput& input,
                              const std::string& rel,
                              std::optional<std::chrono::milliseconds>& retryAfter);
    FolderCache& listing(const std::string& rel, int dirFd, bool trustCache);
    static std::optional<std::vector<Entry>> readEntries(int dirFd, std::size_t expected);
    static void carryOver(const FolderCache& cache, std::vector<Entry>& entries, bool sameTime);
    void forgetFilesThatLeft(const std::string& rel, const FolderCache& cache,
                             const std::vector<Entry>& entries);
    void forgetFolder(const std::string& rel);
    bool vouchedFor(const PassSettings& settings, const std::string& rel);
    std::vector<std::string> rewrittenIn(const std::string& folder);
    static bool mirrorSubfolder(const PassSettings& settings, const ScanInput& input, int dirFd,
                                const std::string& name, const std::string& childRel);
    static void readMetadata(const std::string& full, Found& found);
    bool hasRested(const Stamp& stamp, std::chrono::steady_clock::time_point since) const;
    bool knownWithoutMetadata(const PassSettings& settings, const std::string& folderRel,
                              const std::string& name, const struct stat& st, bool& rested);
    void rememberWithoutMetadata(const PassSettings& settings, const std::string& rel,
                                 const struct stat& st, bool& rested);
    bool isWritten(const PassSettings& settings, int dirFd, const std::string& name,
                   const std::string& full, bool isLink, const struct stat& st,
                   std::chrono::milliseconds& settleLeft);
    bool nobodyWrites(int dirFd, const std::string& name, const std::string& full, bool isLink,
                      const struct stat& st);
    // Whether the link name in folder leads to a file inside the source folder that is not
    // filed already; the first time one does not, says why.
    bool linkStaysInside(const PassSettings& settings, const std::string& folder,
                         const std::string& folderRel, const std::string& name);
    ScanOutcome prepareItem(const ScanInput& input, Found found);
    std::size_t countWaiting(const PassSettings& settings, const std::string& root,
                             const std::string& rel);
    void reportSkipped(const std::string& rel, const char* reason = "no upload metadata",
                       UploadOutcome::Skip skip = UploadOutcome::Skip::NoMetadata);
    // A photo directly in the source folder: reported once while it stays.
    void noteLoose(const std::string& name, std::uint64_t pass);
    void reportCounts(const PassSettings& settings, const std::string& root);

    std::shared_ptr<Clock> clock_;
    Options options_;
    std::atomic<std::uint64_t> metadataReads_{0};
    std::atomic<std::uint64_t> judgedFiles_{0};
    // The base-file-name switch: shared by every scan, kept between passes.
    std::atomic<bool> useBaseFileName_{true};

    // Kept between passes; one pass at a time walks (passMutex_), the watcher's notes come
    // in under cacheMutex_.
    std::mutex passMutex_;
    std::optional<PassSettings> lastSettings_;
    std::string lastRoot_;
    std::unordered_map<std::string, FolderCache> folders_;  // by path relative to the root
    std::uint64_t restedPassedOver_ = 0;                    // in this pass
    // Files found without metadata: skipped while their size and time stay the same. How many
    // were reported is kept as they change: every pass shows it, and counting a large event's
    // files each time would cost the pass more than its walk.
    class WithoutMetadata {
      public:
        struct File {
            Stamp stamp;
            bool reported = false;                        // the skip was shown once
            std::uint64_t pass = 0;                       // the last pass that met it
            std::chrono::steady_clock::time_point since;  // first met with this stamp
        };
        File* find(const FileId& id) {
            auto it = files_.find(id);
            return it == files_.end() ? nullptr : &it->second;
        }
        void remember(const FileId& id, const File& file) {
            erase(id);
            files_.emplace(id, file);
            reported_ += file.reported;
        }
        void markReported(File& file) {
            reported_ += !file.reported;
            file.reported = true;
        }
        void erase(const FileId& id) {
            auto it = files_.find(id);
            if (it == files_.end()) return;
            reported_ -= it->second.reported;
            files_.erase(it);
        }
        void clear() {
            files_.clear();
            reported_ = 0;
        }
        void forgetUnmetIn(std::uint64_t pass) {
            std::erase_if(files_, [this, pass](const auto& e) {
                const bool unmet = e.second.pass != pass;
                reported_ -= unmet && e.second.reported;
                return unmet;
            });
        }
        std::size_t size() const { return files_.size(); }
        std::size_t reported() const { return reported_; }

      private:
        std::unordered_map<FileId, File, FileIdHash> files_;
        std::size_t reported_ = 0;
    };
    WithoutMetadata withoutMetadata_;
    std::unordered_map<FileId, Look, FileIdHash> looks_;  // files not yet written
    std::unordered_set<std::string> linksReported_;       // links skipped and said so (full paths)

    std::mutex cacheMutex_;
    std::uint64_t passes_ = 0;
    bool watching_ = false;
    bool fullPassRequested_ = true;
    std::uint64_t restGeneration_ = 0;
    std::uint64_t sharedLookGeneration_ = 0;
    std::pair<std::uint64_t, std::uint64_t> seenGenerations_{0, 0};
    SystemTime lastSharedLook_{};  // when a pass first looked again at rested shared files
    // Files closed after writing since a pass last judged them (full paths).
    std::unordered_set<std::string> rewritten_;
    std::unordered_set<std::string> changedFolders_;  // relative; "" is the root
    std::string watchedRoot_;
    std::unordered_map<std::string, Stamp> closedFiles_;    // full path -> stamp when closed
    std::unordered_map<std::string, std::uint64_t> loose_;  // name -> the last pass that met it

    std::mutex countMutex_;          // the waiting count's report, in the order counted
    std::uint64_t countsShown_ = 0;  // under countMutex_

    static constexpr std::chrono::seconds kWaitingCountInterval{5};
    UserInterface* ui_ = nullptr;
    SystemTime lastWaitingCount_{};
};

}  // namespace vorn
