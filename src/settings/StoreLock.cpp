#include "settings/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "platform/Value.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"

namespace vorn {

namespace {

std::optional<pid_t> readOwner(int fd) {
    char buf[32] = {0};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return std::nullopt;
    char* end = nullptr;
    long pid = std::strtol(buf, &end, 10);
    if (end == buf || pid <= 0) return std::nullopt;
    return static_cast<pid_t>(pid);
}

// Where the source-folder locks live: the runtime folder, which the system empties at logout,
// else the state folder.
std::string folderLockDirectory() {
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run && *run == '/')
        return std::string(run) + "/vorn";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/vorn";
    return homeDirectory() + "/.local/state/vorn";
}

// The source folder the store names, else the factory default; "~" expanded. Read from the
// files as they are: the store's own load comes later and keeps an unreadable store aside.
std::string sourceFolderNamedBy(const std::string& storePath) {
    for (const std::string& file : {storePath, defaultFactoryDefaultsPath()}) {
        auto root = readPropertyListFile(file);
        const Dictionary* d = root ? root->asDictionary() : nullptr;
        if (const std::string* folder =
                d ? stringForKey(*d, sPrefLocalSourceUploadFolder) : nullptr)
            return expandTildeInPath(*folder);
    }
    return {};
}

}  // namespace

StoreLock StoreLock::acquire(const std::string& storePath, std::chrono::milliseconds wait) {
    return lockFile(lockPathFor(storePath), wait);
}

StoreLock StoreLock::lockFile(const std::string& lockPath, std::chrono::milliseconds wait) {
    StoreLock lock;
    lock.path_ = lockPath;
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::path(lock.path_).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder, ec);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
    }
    lock.fd_ = ::open(lock.path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock.fd_ < 0) {
        lock.error_ = std::strerror(errno);
        return lock;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(lock.fd_, LOCK_EX | LOCK_NB) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            lock.error_ = std::strerror(errno);
            lock.release();
            return lock;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            // The owner writes its id right after locking; give it a moment to do so.
            for (int i = 0; i < 50 && !lock.owner_; ++i) {
                lock.owner_ = readOwner(lock.fd_);
                if (!lock.owner_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            ::close(lock.fd_);
            lock.fd_ = -1;
            lock.status_ = Status::HeldByOther;
            return lock;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(lock.fd_, 0) != 0 ||
        ::pwrite(lock.fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock is ours all the same; only a rival's message loses our id.
        lock.error_ = std::strerror(errno);
    }
    lock.status_ = Status::Held;
    return lock;
}

StoreLock StoreLock::acquireForUploader(const std::string& storePath,
                                        std::chrono::milliseconds wait) {
    StoreLock lock = acquire(storePath, wait);
    if (!lock.held()) return lock;
    const auto folderLock = folderLockPathFor(sourceFolderNamedBy(storePath));
    if (!folderLock) return lock;  // no folder yet: nobody can work it
    StoreLock folder = lockFile(*folderLock, wait);
    if (folder.status() == Status::HeldByOther) {
        lock.release();  // the store is free again for an editor
        return folder;
    }
    if (folder.held()) {
        lock.folder_ = std::make_unique<StoreLock>(std::move(folder));
    } else {
        // The store's lock still keeps a second uploader off this store.
        platformLog("StoreLock => cannot lock the source folder (%s: %s)", folder.path().c_str(),
                    folder.error().c_str());
    }
    return lock;
}

std::optional<std::string> StoreLock::folderLockPathFor(const std::string& folder) {
    struct stat st {};
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return std::nullopt;
    return folderLockDirectory() + "/source-" + std::to_string(st.st_dev) + "-" +
           std::to_string(st.st_ino) + ".lock";
}

StoreLock::StoreLock(StoreLock&& other) noexcept
    : fd_(other.fd_),
      status_(other.status_),
      owner_(other.owner_),
      error_(std::move(other.error_)),
      path_(std::move(other.path_)),
      folder_(std::move(other.folder_)) {
    other.fd_ = -1;
    other.status_ = Status::Failed;
}

StoreLock& StoreLock::operator=(StoreLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        status_ = other.status_;
        owner_ = other.owner_;
        error_ = std::move(other.error_);
        path_ = std::move(other.path_);
        folder_ = std::move(other.folder_);
        other.fd_ = -1;
        other.status_ = Status::Failed;
    }
    return *this;
}

StoreLock::~StoreLock() {
    release();
}

void StoreLock::release() {
    if (folder_) folder_->release();
    if (fd_ >= 0) {
        // Closing the last descriptor drops the flock; the file stays for the next owner.
        ::close(fd_);
        fd_ = -1;
    }
    if (status_ == Status::Held) status_ = Status::Released;
}

}  // namespace vorn
