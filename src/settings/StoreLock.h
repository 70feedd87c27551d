#pragma once
// One writer per preferences store: an exclusive flock on "<store path>.lock", a file beside the
// store that holds the owner's process id as text. The uploader holds it for its whole life;
// a tool that edits the store file while no uploader runs holds it for the edit. The kernel
// drops the lock when its owner ends, however it ends, so a stale file never blocks anyone.
// The uploader also locks the source folder its store names, by the folder's device and inode
// (a link to it, or another store naming it, meets the same lock), in
// $XDG_RUNTIME_DIR/vorn/source-<device>-<inode>.lock, else in the state folder.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class StoreLock {
  public:
    enum class Status {
        Held,         // this process owns the lock
        HeldByOther,  // another process owns it (owner() may name it)
        Failed,       // the lock file could not be opened or locked (error() says why)
        Released,     // held once, let go since
    };

    // Takes the lock of the store at storePath, waiting at most `wait` for another owner to
    // let go (a brief editor), creating the store's folder (0700) when it is missing. The
    // descriptor is closed on exec, so programs we start never hold the lock.
    static StoreLock acquire(const std::string& storePath,
                             std::chrono::milliseconds wait = std::chrono::milliseconds(0));

    static std::string lockPathFor(const std::string& storePath) { return storePath + ".lock"; }

    // The uploader's lock: the store's, then that of the source folder the store names (or
    // the factory default). HeldByOther, holding nothing, when another process has either; a
    // source folder that does not exist yet is not locked.
    static StoreLock acquireForUploader(
        const std::string& storePath,
        std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // The lock file of the folder (links followed), or nothing when there is no such folder.
    static std::optional<std::string> folderLockPathFor(const std::string& folder);

    StoreLock(StoreLock&& other) noexcept;
    StoreLock& operator=(StoreLock&& other) noexcept;
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    ~StoreLock();  // lets go of the lock

    Status status() const { return status_; }
    bool held() const { return status_ == Status::Held; }
    // The process id written by the owner, when another process holds the lock.
    std::optional<pid_t> owner() const { return owner_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

    // Lets go of the lock now.
    void release();

  private:
    StoreLock() = default;
    static StoreLock lockFile(const std::string& lockPath, std::chrono::milliseconds wait);

    int fd_ = -1;
    Status status_ = Status::Failed;
    std::optional<pid_t> owner_;
    std::string error_;
    std::string path_;
    std::unique_ptr<StoreLock> folder_;  // the source folder's, held along with the store's
};

}  // namespace vorn
