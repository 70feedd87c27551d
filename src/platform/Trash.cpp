#include "platform/Trash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

constexpr size_t kNameMax = 255;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes and reports the close error, which is where a failed delayed write shows.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

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

bool makeFolder0700(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    if (!dir.has_parent_path() || dir.parent_path() == dir) return false;
    if (!makeFolder0700(dir.parent_path())) return false;
    if (::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return fs::is_directory(dir, ec);
    return false;
}

std::string percentEncodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
        if (keep) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

// Shortens name so that name + suffix + ".trashinfo" fits in one directory entry, without
// cutting a UTF-8 sequence in two.
std::string fitName(const std::string& name, const std::string& suffix) {
    const size_t budget = kNameMax - std::string(".trashinfo").size();
    if (name.size() + suffix.size() <= budget) return name + suffix;
    size_t keep = suffix.size() < budget ? budget - suffix.size() : 0;
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep) + suffix;
}

bool writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool moveItemWithoutReplacing(const std::string& from, const std::string& to, std::string* error,
                              const SafeMoveHook* hook) {
    if (from.empty() || to.empty()) return setError(error, "empty path");
    int e = renameNoReplace(from, to);
    if (e == 0) return true;
    if (e == EXDEV) return copyAcrossFileSystems(from, to, error, hook);
    return setError(error, errnoText(e));
}

std::optional<std::string> userTrashFilesDirectory() {
    fs::path dataHome;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
        dataHome = x;
    } else {
        std::string home = homeDirectory();
        if (home.empty()) return std::nullopt;
        dataHome = fs::path(home) / ".local" / "share";
    }
    fs::path trash = dataHome / "Trash";
    if (!makeFolder0700(trash / "files") || !makeFolder0700(trash / "info")) return std::nullopt;
    return (trash / "files").string();
}

bool moveToTrash(const std::string& path, const Clock& clock, std::string* trashedPath) {
    if (path.empty()) return false;
    std::error_code ec;
    fs::path item = fs::absolute(path, ec).lexically_normal();
    if (ec) return false;
    if (!item.has_filename()) item = item.parent_path();  // "dir/" names dir
    const std::string name = item.filename().string();
    if (name.empty() || name == "." || name == "..") return false;
    if (!exists(item.string())) return false;

    auto files = userTrashFilesDirectory();
    if (!files) return false;
    const fs::path infoDir = fs::path(*files).parent_path() / "info";

    const SystemTime now = clock.now();
    const std::string stamp = formatLocalTime(now, " %Y%m%d_%H%M%S");
    const std::string info = "[Trash Info]\nPath=" + percentEncodePath(item.string()) +
                             "\nDeletionDate=" + formatLocalTime(now, "%Y-%m-%dT%H:%M:%S") + "\n";

    for (int attempt = 0; attempt < 10000; ++attempt) {
        std::string candidate;
        if (attempt == 0) {
            candidate = fitName(name, "");
        } else if (attempt == 1) {
            candidate = fitName(name, stamp);
        } else {
            candidate = fitName(name, stamp + " " + std::to_string(attempt));
        }
        // Claiming the .trashinfo name first with O_EXCL is what keeps two trashers (or two
        // threads) from picking the same name.
        const std::string infoPath = (infoDir / (candidate + ".trashinfo")).string();
        Fd fd(::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd.valid()) {
            if (errno == EEXIST) continue;
            return false;
        }
        if (!writeAll(fd.get(), info) || !fd.close()) {
            ::unlink(infoPath.c_str());
            return false;
        }
        const std::string target = *files + "/" + candidate;
        std::string error;
        if (moveItemWithoutReplacing(item.string(), target, &error)) {
            if (trashedPath) *trashedPath = target;
            return true;
        }
        ::unlink(infoPath.c_str());
        if (exists(target)) continue;  // an item without its .trashinfo holds the name
        platformLog("moveToTrash => cannot move [%s]: %s", item.c_str(), error.c_str());
        return false;
    }
    return false;
}

}  // namespace vorn
