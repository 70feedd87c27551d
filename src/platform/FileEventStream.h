#pragma once
// Recursive folder watching over inotify, on a thread of its own. Changes are collected per
// folder and handed over in batches: a batch goes out once the tree has been quiet for the
// latency, or at the latest a forced-flush period after its first change, so a photo being
// copied gives a handful of batches, not one per write. The watcher is a hint, not the truth:
// whatever it cannot see (a kernel queue overflow, folders beyond the watch limit, a lost root)
// it says so, and the rescan timer covers the rest.

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorn {

struct FileEventStreamOptions {
    // Quiet time after the last change before a batch is delivered.
    std::chrono::milliseconds latency{1000};
    // A batch is delivered at most this long after its first change, however busy the tree
    // stays; zero or less: no forced delivery.
    std::chrono::milliseconds forcedFlush{3000};
    // While the watched folder itself is gone (deleted, moved away, unmounted), how often to
    // look whether it is back.
    std::chrono::milliseconds rootRetry{3000};
    // Test switches. unavailable: start() fails as if inotify could not be set up.
    // maxWatches >= 0: adding a watch beyond this many fails as the kernel's ENOSPC does.
    bool unavailable = false;
    int maxWatches = -1;
};

enum class FileEventStreamState {
    Watching,           // every folder of the tree is watched
    WatchLimitReached,  // some folders are not: the inotify watches (max_user_watches) ran out
    RootLost,           // the watched folder is gone; it is watched again once it is back
};

const char* fileEventStreamStateName(FileEventStreamState state);

class FileEventStream {
  public:
    // Both run on the watcher thread. changedFolders holds each folder at most once, in the
    // order of its first change; a queue overflow reports the root.
    using Callback = std::function<void(const std::vector<std::string>& changedFolders)>;
    using StatusCallback =
        std::function<void(FileEventStreamState state, const std::string& message)>;

    // On the watcher thread, as soon as the event is read: a file closed after writing,
    // renamed into a watched folder, or the first one found in a folder that came into the tree
    // (full path). That one's writer may still hold it: only its close is sure to be reported.
    using FileClosedCallback = std::function<void(const std::string& path)>;

    FileEventStream(std::string root, Callback onChange, FileEventStreamOptions options = {},
                    StatusCallback onStatus = {});
    // Stops the stream. Destroying it from its own callback is allowed; the thread then ends
    // on its own once the callback returns.
    ~FileEventStream();
    FileEventStream(const FileEventStream&) = delete;
    FileEventStream& operator=(const FileEventStream&) = delete;

    // Watches the tree (sub-folders, hidden ones too, but not symbolic links below the root)
    // and starts the thread; returns once the tree is watched. A status callback for the
    // initial walk (the watch limit) has run by then. False, with the reason in error, when
    // inotify is unavailable, the root cannot be watched or the stream already runs.
    bool start(std::string* error = nullptr);
    // Before start() only.
    void setOnFileClosed(FileClosedCallback onFileClosed);
    // Wakes the thread and joins it: no callback runs once stop() has returned. Called from
    // the callback it only asks the thread to end after the callback.
    void stop();

    bool isRunning() const;
    const std::string& root() const;
    FileEventStreamState state() const;
    // Sticky until a full rewalk of the tree succeeds.
    bool watchLimitReached() const;
    // The folders watched now, sorted.
    std::vector<std::string> watchedFolders() const;

    // Test seam: behaves as if the kernel's event queue had overflowed.
    void simulateQueueOverflow();

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // shared with the thread so destruction from a callback is safe
};

}  // namespace vorn
