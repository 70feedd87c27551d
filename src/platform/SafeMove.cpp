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

SafeMoveResult failed(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return {};
}

constexpr SafeMoveResult kMoved{SafeMoveResult::Kind::Moved};

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
            if (::unlink(from.c_str()) == 0) return 0;
            // Not moved after all: the file must not stay under both names.
            e = errno;
            ::unlink(to.c_str());
            return e;
        }
        e = errno;
        if (e != EPERM && e != ENOTSUP && e != EMLINK) return e;
    }
    if (existsAtPath(to)) return EEXIST;
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

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

SafeMoveResult copyAcrossFileSystems(const std::string& from, const std::string& to, bool replace,
                                     std::string* error, const SafeMoveHook* hook) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return failed(error, errnoText(errno));
    if (!S_ISREG(st.st_mode)) {
        return failed(error, "only files can be moved to another file system");
    }
    if (!replace && existsAtPath(to)) return failed(error, errnoText(EEXIST));

    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in.valid()) return failed(error, errnoText(errno));
    if (::fstat(in.get(), &st) != 0) return failed(error, errnoText(errno));

    // A hidden name in the destination folder: the scan passes over hidden files, and the
    // final rename stays within one file system.
    const std::string dir = parentOf(to);
    std::string tmp = dir + "/.vorn-move-XXXXXX";
    TempGuard guard;
    Fd out(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!out.valid()) return failed(error, errnoText(errno));
    guard.path = tmp;

    if (!copyBytes(in.get(), out.get())) return failed(error, errnoText(errno));
    // Written to while it was copied: the copy may hold a mixture of two versions.
    struct stat after {};
    if (::fstat(in.get(), &after) != 0) return failed(error, errnoText(errno));
    if (!sameVersion(st, after)) return failed(error, "the file changed while it was copied");
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return failed(error, errnoText(errno));
    if (::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
        // Not ours to give away when running unprivileged; the copy keeps our ownership.
    }
    // The modification date ages the photo in the mirror folder: it must come along.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.get(), times) != 0) return failed(error, errnoText(errno));
    if (::fsync(out.get()) != 0) return failed(error, errnoText(errno));
    if (!out.close()) return failed(error, errnoText(errno));
    in.reset();

    if (hook && *hook) (*hook)(SafeMoveStep::Copied);

    if (replace) {
        if (::rename(tmp.c_str(), to.c_str()) != 0) return failed(error, errnoText(errno));
    } else if (int e = renameNoReplace(tmp, to); e != 0) {
        return failed(error, errnoText(e));
    }
    guard.path.clear();
    syncFolder(dir);

    if (hook && *hook) (*hook)(SafeMoveStep::Placed);

    // Saved anew since the copy began (a new file under the name, or the same one rewritten):
    // that version was never moved and must stay.
    struct stat now {};
    if (::lstat(from.c_str(), &now) != 0 || !sameVersion(st, now)) {
        platformLog("moveItemSafely => [%s] changed during the move; the new version stays",
                    from.c_str());
        return kMoved;
    }
    if (::unlink(from.c_str()) != 0) {
        // The source cannot go (a read-only source folder). The whole copy is in place and may
        // have replaced an older one: taking it back could leave neither, so both stay and the
        // caller decides what the source copy means.
        const int e = errno;
        platformLog(
            "moveItemSafely => [%s] is in place as [%s], but the source could not be "
            "removed: %s",
            from.c_str(), to.c_str(), errnoText(e).c_str());
        if (error) *error = "the source copy could not be removed: " + errnoText(e);
        return {SafeMoveResult::Kind::SourceLeft};
    }
    syncFolder(parentOf(from));
    return kMoved;
}

}  // namespace

SafeMoveResult moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                              const SafeMoveHook* hook) {
    if (from.empty() || to.empty()) return failed(error, "empty path");
    int e = renameNoReplace(from, to);
    if (e == 0) return kMoved;
    if (e == EXDEV) return copyAcrossFileSystems(from, to, false, error, hook);
    return failed(error, errnoText(e));
}

SafeMoveResult replaceItemSafely(const std::string& from, const std::string& to, std::string* error,
                                 const SafeMoveHook* hook) {
    if (from.empty() || to.empty()) return failed(error, "empty path");
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return failed(error, errnoText(errno));
    if (!S_ISREG(st.st_mode)) return failed(error, "only files replace files");
    if (::rename(from.c_str(), to.c_str()) == 0) return kMoved;
    if (errno == EXDEV) return copyAcrossFileSystems(from, to, true, error, hook);
    return failed(error, errnoText(errno));
}

SafeMoveResult moveItemSafely(const std::string& from, const std::string& to, std::string* error,
                              const SafeMoveHook& hook) {
    return moveItemSafely(from, to, error, &hook);
}

}  // namespace vorn
