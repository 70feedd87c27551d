#include "platform/FileWriters.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/FileDescriptor.h"

namespace vorn {

namespace {

FileWriters byLease(int fd) {
    // Someone opening the file for writing while the lease is held breaks it, and the kernel
    // signals the holder: SIGIO by default, which would end this process. SIGURG is ignored
    // unless a handler is installed.
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return FileWriters::Unknown;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        return FileWriters::None;
    }
    // EAGAIN: open for writing. EACCES: neither its owner nor CAP_LEASE; EINVAL: leases are off
    // or the file system has none.
    return errno == EAGAIN ? FileWriters::Some : FileWriters::Unknown;
}

// Whether the descriptor fd of the process whose /proc folder is procFd is open for writing.
bool openForWriting(int procFd, const char* fd) {
    Fd in(::openat(procFd, (std::string("fdinfo/") + fd).c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    char buf[256] = {0};
    const ssize_t n = ::read(in.get(), buf, sizeof buf - 1);
    if (n <= 0) return false;
    const char* flags = std::strstr(buf, "flags:");
    return flags && (std::strtol(flags + 6, nullptr, 8) & O_ACCMODE) != O_RDONLY;
}

FileWriters byProcScan(int fd) {
    struct stat self {};
    if (::fstat(fd, &self) != 0) return FileWriters::Unknown;
    DIR* proc = ::opendir("/proc");
    if (!proc) return FileWriters::Unknown;
    // A process whose descriptors cannot be read (another user's, unless running as root) could
    // be the writer: then only a writer found is an answer.
    bool found = false, unseen = false;
    while (dirent* p = ::readdir(proc)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9') continue;
        Fd procFd(::openat(::dirfd(proc), p->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!procFd.valid()) continue;
        const int fdDir = ::openat(procFd.get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0) {
            unseen = unseen || errno == EACCES || errno == EPERM;
            continue;
        }
        DIR* fds = ::fdopendir(fdDir);
        if (!fds) {
            ::close(fdDir);
            continue;
        }
        while (dirent* f = ::readdir(fds)) {
            if (f->d_name[0] < '0' || f->d_name[0] > '9') continue;
            struct stat st {};
            if (::fstatat(fdDir, f->d_name, &st, 0) != 0) continue;
            if (st.st_dev != self.st_dev || st.st_ino != self.st_ino) continue;
            if (openForWriting(procFd.get(), f->d_name)) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
        if (found) break;
    }
    ::closedir(proc);
    return found ? FileWriters::Some : unseen ? FileWriters::Unknown : FileWriters::None;
}

}  // namespace

FileWriters fileWriters(int fd, WriterProbe probe) {
    if (probe != WriterProbe::ProcScan) {
        const FileWriters leased = byLease(fd);
        if (leased != FileWriters::Unknown || probe == WriterProbe::Lease) return leased;
    }
    return byProcScan(fd);
}

bool onSharedFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return true;  // cannot tell: trust no absence of writers
    switch (static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFUL) {
        case 0x6969UL:      // NFS
        case 0x517BUL:      // SMB
        case 0xFF534D42UL:  // CIFS
        case 0xFE534D42UL:  // SMB2
        case 0x65735546UL:  // FUSE (sshfs, network drives, but also local ones)
        case 0x00C36400UL:  // Ceph
        case 0x5346414FUL:  // AFS
        case 0x6B414653UL:  // kAFS
        case 0x01021997UL:  // 9P
        case 0x73757245UL:  // Coda
        case 0x564CUL:      // NCP
        case 0x7461636FUL:  // OCFS2
        case 0x01161970UL:  // GFS2
        case 0x0BD00BD0UL:  // Lustre
        case 0x13661366UL:  // OrangeFS
            return true;
        default:
            return false;
    }
}

}  // namespace vorn
