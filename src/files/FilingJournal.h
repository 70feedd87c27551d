#pragma once
// Photos the service has accepted (or set aside) but that are not filed yet. Each is written
// down before its move and crossed off once photo and movie are filed, so a move that fails,
// or a process killed in the middle of one, never sends the photo a second time: later passes
// retry the move alone. An entry names the very file that was sent (device, inode, size and
// modification time); a photo saved anew under the same name is a new photo. A photo filed
// whose source copy could not be removed (a read-only source folder) keeps its entry, marked
// done, for as long as that copy is there: it is neither sent nor copied again.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/KDW_FileManager.h"
#include "platform/Clock.h"

namespace vorn {

struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;
    bool operator==(const FileStamp&) const = default;
    // Of the file at path (following links); nothing when there is none.
    static std::optional<FileStamp> of(const std::string& path);
};

struct FilingEntry {
    std::string root;         // the source folder
    std::string item;         // the photo's path relative to it
    std::string destRoot;     // the mirror or the problem folder
    bool setAside = false;    // into the problem folder: under a free name, never replacing
    FileStamp stamp;          // the photo as it was sent
    std::string filedAs;      // where the photo went (relative), once it is filed
    bool sourceLeft = false;  // filed, but the source copy could not be removed
    bool done = false;        // photo and movie filed; kept only for the source copy left
};

class FilingJournal {
  public:
    // path: the journal file in the state folder; its folder is made when needed.
    // clock: names an unreadable journal kept aside.
    explicit FilingJournal(std::string path, std::shared_ptr<Clock> clock = Clock::system());

    // Writes the entry down durably (replacing one for the same photo). False, with the
    // reason in error, when the journal cannot be written; the move may still be tried.
    bool record(const FilingEntry& entry, std::string* error = nullptr);
    // Files the photo and then its movie, and crosses the entry off once both are filed (or
    // the photo is gone or changed). Fails with the reason while something is left to file.
    // A photo filed whose source copy stays answers sourceLeft, once; its entry is then done
    // and dropped when that copy is gone or saved anew.
    FileMoveResult file(FilingEntry entry, const Clock& clock);
    // Tries every entry again. Answers the failures, photo name and reason, in order.
    struct Failure {
        FilingEntry entry;
        std::string error;
    };
    std::vector<Failure> retryAll(const Clock& clock);
    // The photos below root that still wait to be filed, or were filed and left their source
    // copy behind: a pass must not send them again.
    std::set<std::string> waitingItems(const std::string& root);
    std::vector<FilingEntry> entries();
    // Why the journal on disk was not used (unreadable, kept aside), or empty.
    std::string loadProblem();

  private:
    void loadLocked();
    void keepAsideLocked(const std::string& reason);
    bool saveLocked(std::string* error);
    void eraseLocked(const FilingEntry& entry);

    std::string path_;
    std::shared_ptr<Clock> clock_;
    std::mutex mutex_;
    std::recursive_mutex filing_;  // one filing at a time
    bool loaded_ = false;
    std::string loadProblem_;
    std::vector<FilingEntry> entries_;
};

// Removes our temporary move files (".vorn-move-*") below folder that an earlier process left
// behind: those whose status changed before `before` (when this process started).
int removeStaleMoveTemporaries(const std::string& folder, SystemTime before);

}  // namespace vorn
