#include "settings/StoreLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vorn {

std::optional<StoreLock> StoreLock::tryAcquire(const std::string& storePath, pid_t* holder,
                                               std::string* error) {
    if (holder) *holder = 0;
    const std::string path = lockPathFor(storePath);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (holder) {
            char buf[32] = {};
            ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
            if (n > 0) *holder = static_cast<pid_t>(std::atol(buf));
        }
        if (error && err != EWOULDBLOCK) *error = path + ": " + std::strerror(err);
        ::close(fd);
        return std::nullopt;
    }
    // The holder's id, for the message of whoever is refused.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    return StoreLock(fd);
}

StoreLock& StoreLock::operator=(StoreLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

StoreLock::~StoreLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace vorn
