#pragma once
// Files the photos the service has answered: an accepted one into the mirror folder, a set-aside
// one into the problem folder, each with its movie. Every filing is written into the filing
// journal before the move, so a photo the service took is never sent again, even when its move
// fails or the process dies halfway: later passes retry the move alone. A lone movie is filed
// only by the journal entry of its own photo, never because a same-named photo sits in the
// mirror folder. Temporaries of moves an earlier run cut short are swept once, before this
// process's first move.

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/FilingJournal.h"
#include "platform/Clock.h"

namespace vorn {

class PhotoFiler {
  public:
    struct Dependencies {
        std::string journalPath;
        std::shared_ptr<Clock> clock = Clock::system();
        // Real time (file times are real): temporaries older than this are an earlier run's.
        SystemTime startedAt = std::chrono::system_clock::now();
    };
    // Where photos go; empty when not chosen.
    struct Folders {
        std::string mirror;
        std::string problem;
    };
    struct Photo {
        std::string root;  // the source folder
        std::string item;  // relative to it
        // The photo as it was when its upload began: a photo saved anew since is a new photo
        // and stays to be sent again. Nothing: not known, filed as it is.
        std::optional<FileStamp> sentAs;
    };
    struct Result {
        enum class Kind { Filed, FiledSourceLeft, Gone, ChangedSinceSent, NoFolder, Failed };
        Kind kind = Kind::Filed;
        // Failed and FiledSourceLeft: in words for the status line, e.g. "could not file a.jpg
        // in the mirror folder: No space left on device".
        std::string error;
    };

    explicit PhotoFiler(Dependencies deps);

    Result fileAccepted(const Photo& photo, const Folders& folders);
    Result fileSetAside(const Photo& photo, const Folders& folders);

    struct Pending {
        std::set<std::string> waiting;    // photos below the root still to be filed: never sent
        std::vector<std::string> errors;  // one line per filing that failed again
    };
    // Files what earlier passes could not (the move alone); sweeps first, once per process.
    Pending retryPending(const std::string& root, const Folders& folders);
    // Removes the temporaries an earlier run's moves left behind; once per process.
    void sweepAtStart(const Folders& folders);

    FilingJournal& journal() { return *journal_; }

  private:
    Result file(FilingEntry entry, const std::optional<FileStamp>& sentAs, const Folders& folders);

    Dependencies deps_;
    std::unique_ptr<FilingJournal> journal_;
    std::once_flag swept_;
};

}  // namespace vorn
