#pragma once
// The user's preferences: a persistent layer kept in an XML property list over a layer of
// registered defaults that is answered but never written. Safe to use from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Value.h"

namespace vorn {

class PreferencesStore {
  public:
    // Does not touch the disk. The clock names the copy of a file that does not parse.
    explicit PreferencesStore(std::string path, std::shared_ptr<Clock> clock = nullptr);

    // Loads the file, replacing the stored layer. Missing file: empty store. A file that does
    // not parse: the store starts empty, the bad file is kept aside as
    // "<path>.unreadable-YYYYmmdd_HHMMSS", and a log line says so.
    void load();
    const std::string& path() const { return path_; }
    // Why the last load found no usable file although one was there, in words for the user;
    // empty when it loaded (or there was no file).
    std::string loadProblem() const;

    // Answered, never written to the file. Later registrations add to earlier ones.
    void registerDefaults(const Dictionary& defaults);

    Value objectForKey(const std::string& key) const;  // stored, else registered, else None
    bool hasStoredValue(const std::string& key) const;
    bool hasAnyValue(const std::string& key) const;  // stored or registered
    // Text as is, numbers as their text; nothing for other values.
    std::optional<std::string> stringForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;  // "yes"/"YES" true, "no" false
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;

    // In memory only until synchronize(); observers are told after the change. Setting None
    // removes the stored value.
    void setObject(const std::string& key, Value value);
    void removeObject(const std::string& key);

    // Writes the stored layer atomically, mode 0600, creating the folder (0700) when missing.
    // A store that was never loaded first takes in what the file holds for keys it has not
    // touched, so it never wipes settings it did not read. Likewise a file changed by someone
    // else since this store last read or wrote it is taken in first: values set here since
    // then win, the others come from the file.
    bool synchronize();

    // Takes in a file changed by someone else (a hand edit): values set here and not yet
    // written stay, all others come from the file; observers hear of each changed key. True
    // when the file was read.
    bool reload();

    Dictionary storedValues() const;
    Dictionary registeredDefaults() const;

    // Observers run on the thread that made the change, outside the store's lock. Once
    // removeObserver returns, the owner's observers are not running and will not run again.
    using Observer = std::function<void(const std::string& key)>;
    void addObserver(const void* owner, Observer observer);
    void removeObserver(const void* owner);

    // $XDG_CONFIG_HOME/vorn/org.vorn.Uploader.plist (XDG_CONFIG_HOME defaults to ~/.config).
    static std::string defaultPath();

  private:
    struct ObserverEntry {
        const void* owner;
        Observer fn;
        std::recursive_mutex calling;
        bool removed = false;  // guarded by `calling`
    };

    Value lookupLocked(const std::string& key) const;
    std::optional<Dictionary> readFileLocked();
    struct FileStamp {
        long long size = -1, mtimeNs = 0, inode = 0;
        bool operator==(const FileStamp&) const = default;
    };
    FileStamp currentStampLocked() const;
    // Merges the file into the stored layer (unwritten changes stay); the keys that changed.
    std::vector<std::string> mergeFileLocked();
    void notify(const std::string& key);

    const std::string path_;
    const std::shared_ptr<Clock> clock_;
    mutable std::mutex mutex_;
    std::mutex writeMutex_;  // orders snapshots and writes of concurrent synchronize calls
    Dictionary stored_;
    Dictionary registered_;
    bool loaded_ = false;
    std::string loadProblem_;
    std::set<std::string> removedBeforeLoad_;
    std::set<std::string> unwritten_;  // keys set or removed here since the last read or write
    FileStamp diskStamp_;              // the file as this store last read or wrote it
    std::vector<std::shared_ptr<ObserverEntry>> observers_;
};

}  // namespace vorn
