#include "platform/SafeMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/FileDescriptor.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

std::string errnoText(int e) {
    return std::error_code(e, std::generic_category()).message();
}

bool setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string parentOf(const std::string& path) {
    fs::path p = fs::path(path).parent_path();
    return p.empty() ? std::string(".") : p.string();
}

void syncFolder(const std::string& dir) {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

// rename(2) that fails when `to` exists. Where the file system lacks RENAME_NOREPLACE, a hard
// link claims the name atomically; only where that is refused too is there a check-then-rename.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    int e = errno;
    if (e != EINVAL && e != ENOSYS && e != ENOTSUP) return e;
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) {
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return 0;
        }
        e = errno;
        if (e != EPERM && e != ENOTSUP && e != EMLINK) return e;
    }
    if (exists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

bool copyBytes(int in, int out) {
    bool useCopyRange = true;
    std::vector<char> buf;
    for (;;) {
        if (useCopyRange) {
            ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n > 0) continue;
            if (n == 0) return true;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP &&
                errno != EBADF) {
                return false;
            }
            useCopyRange = false;  // carry on from the current offsets with plain reads
            buf.resize(1 << 20);
        }
        ssize_t n = ::read(in, buf.data(), buf.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        const char* p = buf.data();
        size_t left = static_cast<size_t>(n);
        while (left > 0) {
            ssize_t w = ::write(out, p, left);
            if (w < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
}

// Removes the temporary copy unless it was placed.
struct TempGuard {
    std::string path;
    ~TempGuard() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

bool copyAcrossFileSystems(const std::string& from, const std::string& to, std::string* error,
                           const SafeMoveHook* hook) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return setError(error, errnoText(errno));
    if (!S_ISREG(st.st_mode)) {
        return setError(error, "only files can be moved to another file system");
    }
    if (exists(to)) return setError(error, errnoText(EEXIST));

    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in.valid()) return setError(error, errnoText(errno));
    if (::fstat(in.get(), &st) != 0) return setError(error, errnoText(errno));

    // A hidden name in the destination folder: the scan passes over hidden files, and the
    // final rename stays within one file system.
    const std::string dir = parentOf(to);
    std::string tmp = dir + "/.vorn-move-XXXXXX";
    TempGuard guard;
    Fd out(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!out.valid()) return setError(error, errnoText(errno));
    guard.path = tmp;

    if (!copyBytes(in.get(), out.get())) return setError(error, errnoText(errno));
    ::fchmod(out.get(), st.st_mode & 07777);
    if (::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
        // Not ours to give away when running unprivileged; the copy keeps our ownership.
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (::fsync(out.get()) != 0) return setError(error, errnoText(errno));
    if (!out.close()) return setError(error, errnoText(errno));
    in.reset();

    if (hook && *hook) (*hook)(SafeMoveStep::Copied);

    if (int e = renameNoReplace(tmp, to); e != 0) return setError(error, errnoText(e));
    guard.path.clear();
    syncFolder(dir);

    if (hook && *hook) (*hook)(SafeMoveStep::Placed);

    if (::unlink(from.c_str()) != 0) {
        // The source cannot go: take the copy back so that the move fails as a whole rather
        // than leaving the item in both places (it would be handled twice).
        int e = errno;
        ::unlink(to.c_str());
        syncFolder(dir);
        return setError(error, "cannot remove the source: " + errnoText(e));
    }
    syncFolder(parentOf(from));
    return true;
}

}  // namespace

bool moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                    const SafeMoveHook* hook) {
    if (from.empty() || to.empty()) return setError(error, "empty path");
    int e = renameNoReplace(from, to);
    if (e == 0) return true;
    if (e == EXDEV) return copyAcrossFileSystems(from, to, error, hook);
    return setError(error, errnoText(e));
}

bool moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                    const SafeMoveHook& hook) {
    return moveItemSafely(from, to, error, &hook);
}

}  // namespace vorn
