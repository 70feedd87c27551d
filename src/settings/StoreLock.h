#pragma once
// One writer per preferences store: an exclusive flock on "<store path>.lock", with the
// holder's process id inside. The uploader holds it while it runs; an editor takes it for the
// length of one edit.

#include <sys/types.h>

#include <optional>
#include <string>

namespace vorn {

class StoreLock {
  public:
    // Takes the lock without waiting. Nothing when another process holds it; holder then
    // tells its process id (0 when unknown) and error why, when the lock file itself failed.
    static std::optional<StoreLock> tryAcquire(const std::string& storePath,
                                               pid_t* holder = nullptr,
                                               std::string* error = nullptr);
    static std::string lockPathFor(const std::string& storePath) { return storePath + ".lock"; }

    StoreLock(StoreLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    StoreLock& operator=(StoreLock&& other) noexcept;
    ~StoreLock();

  private:
    explicit StoreLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

}  // namespace vorn
