#include "support/OtherFileSystem.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorn::test {
namespace {

bool deviceOf(const std::filesystem::path& p, dev_t* dev) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) return false;
    *dev = st.st_dev;
    return true;
}

}  // namespace

OtherFileSystemDir::OtherFileSystemDir(const std::filesystem::path& notOn) {
    dev_t here{};
    if (!deviceOf(notOn, &here)) {
        whyNot_ = "cannot examine " + notOn.string();
        return;
    }
    dev_t shm{};
    if (deviceOf("/dev/shm", &shm) && shm != here && ::access("/dev/shm", W_OK) == 0) {
        std::string tmpl = "/dev/shm/vorn-otherfs-XXXXXX";
        if (::mkdtemp(tmpl.data())) {
            path_ = tmpl;
            return;
        }
    }
    std::string tmpl = (notOn / "otherfs-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        whyNot_ = "mkdtemp failed";
        return;
    }
    if (::mount("vorn-test", tmpl.c_str(), "tmpfs", 0, "size=64m,mode=0755") != 0) {
        whyNot_ = std::string(
                      "no second file system: /dev/shm is the same one and mounting a "
                      "tmpfs failed: ") +
                  std::strerror(errno);
        ::rmdir(tmpl.c_str());
        return;
    }
    mounted_ = true;
    path_ = tmpl;
}

OtherFileSystemDir::~OtherFileSystemDir() {
    if (path_.empty()) return;
    std::error_code ec;
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
        std::filesystem::remove(path_, ec);
    } else {
        std::filesystem::remove_all(path_, ec);
    }
}

SmallFileSystem::SmallFileSystem(const std::filesystem::path& folder, std::size_t bytes)
    : folder_(folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("vorn-test", folder.c_str(), "tmpfs", 0, options.c_str()) != 0)
        whyNot_ = std::string("cannot mount a tmpfs (needs root): ") + std::strerror(errno);
}

SmallFileSystem::~SmallFileSystem() {
    if (available()) ::umount2(folder_.c_str(), MNT_DETACH);
}

}  // namespace vorn::test
