#include "platform/OpenWithoutLinks.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/FileDescriptor.h"

namespace vorn {

namespace {

int openByWalking(const std::string& path, int flags) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        at = end + 1;
    }
    if (parts.empty()) {
        errno = EISDIR;
        return -1;
    }
    Fd folder(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return -1;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        int next =
            ::openat(folder.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            // A link opened with O_NOFOLLOW is not a folder: say what it is.
            struct stat st {};
            if (errno == ENOTDIR &&
                ::fstatat(folder.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode))
                errno = ELOOP;
            return -1;
        }
        folder.reset(next);
    }
    return ::openat(folder.get(), parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

int openWithoutLinks(const std::string& path, int flags, LinkSafeOpen how) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (how == LinkSafeOpen::Openat2) {
        open_how request{};
        request.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
        request.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &request, sizeof request);
        if (fd >= 0) return static_cast<int>(fd);
        // Kernels before 5.6, and sandboxes that do not let the call through.
        if (errno != ENOSYS && errno != EPERM) return -1;
    }
    return openByWalking(path, flags);
}

std::string pathOfDescriptor(int fd) {
    std::string link = descriptorPath(fd);
    std::vector<char> buf(4096);
    ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size()) return {};
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace vorn
