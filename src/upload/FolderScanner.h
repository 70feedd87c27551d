#pragma once
// What a scan pass does between its start checks and its common end: walk the source tree,
// mirror its folders, and choose and prepare at most one item.

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn {

struct ScanInput {
    DictionaryPtr workingCopy;  // copy of the scan request, without httpError
    std::string rootFolder;
    std::string mirrorFolder;
    std::string eventName;
    std::string userName;  // the controller's current account
    std::string password;
    // Photos the service has accepted but that could not be filed yet: never sent again.
    std::set<std::string> awaitingFiling;
    // True for a photo (full path) whose upload failed and whose wait is not over: the pass
    // takes the next eligible photo instead.
    std::function<bool(const std::string& path)> isWaitingToRetry;
};

struct ScanOutcome {
    enum class Kind {
        Chosen,           // record holds the upload item record
        NothingToUpload,  // no eligible item (or it vanished / has no date)
        NotYetWritten,    // the chosen item could not be read yet; look again after retryAfter
    };
    Kind kind = Kind::NothingToUpload;
    DictionaryPtr record;
    // Set when a photo was passed over only because it was still being written: when a look
    // could prove it written.
    std::optional<std::chrono::milliseconds> retryAfter;
};

class FolderScanner {
  public:
    virtual ~FolderScanner() = default;
    virtual ScanOutcome chooseNextItem(const ScanInput& input) = 0;

    // What the folder watcher saw, so that a pass can look only at what changed. All may be
    // called from any thread; a scanner that keeps nothing between passes ignores them.
    // watching: whether every folder under the source folder is watched now.
    virtual void noteWatching(bool /*watching*/) {}
    // Folders (absolute paths under watchedRoot) with events since the last batch; the root
    // itself among them (a queue overflow reports it) makes the next pass walk everything.
    virtual void noteChangedFolders(const std::string& /*watchedRoot*/,
                                    const std::vector<std::string>& /*folders*/) {}
    // A file whose writer closed it, that was renamed into a watched folder, or the first file
    // found in a folder new to the watcher.
    virtual void noteFileClosed(const std::string& /*path*/) {}
    // The next pass walks and judges the whole tree again (the rescan timer).
    virtual void requestFullPass() {}
};

}  // namespace vorn
