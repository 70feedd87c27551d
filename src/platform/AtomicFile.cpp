#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/FileDescriptor.h"

namespace vorn {
namespace {

std::string randomSuffix() {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937_64 rng{std::random_device{}() ^
                                     (static_cast<std::uint64_t>(::getpid()) << 32)};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%012llx%04x",
                  static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull),
                  counter.fetch_add(1) & 0xFFFFu);
    return buf;
}

bool failWith(std::string* error, const std::string& what, int err) {
    if (error) *error = what + ": " + std::strerror(err);
    return false;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         std::string* error, Sync sync) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        if (error) *error = path + ": not a file name";
        return false;
    }
    mode &= 07777;

    // O_EXCL with the final mode: the file never exists with wider permissions than asked for,
    // and a name another writer picked is never shared.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = dir + "/." + name + ".tmp-" + randomSuffix();
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0 && errno != EEXIST) return failWith(error, tmp, errno);
    }
    if (fd < 0) return failWith(error, tmp, EEXIST);

    auto abandon = [&](const std::string& what, int err) {
        if (fd >= 0) ::close(fd);
        ::unlink(tmp.c_str());
        return failWith(error, what, err);
    };
    // The umask may have narrowed the mode; set it exactly.
    if (::fchmod(fd, mode) != 0) return abandon(tmp, errno);
    if (int err = writeAll(fd, bytes)) return abandon(tmp, err);
    if (sync == Sync::Yes && ::fsync(fd) != 0) return abandon(tmp, errno);
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return abandon(tmp, errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) return abandon(path, errno);

    // Make the rename itself durable. The new bytes are in place already, so a folder that
    // cannot be synced is not a failure of the write.
    if (sync == Sync::No) return true;
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace vorn
