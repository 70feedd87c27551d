#pragma once
// Whether anyone has a file open for writing: the proof that a photo is completely written when
// its time stamp cannot give one (a camera clock hours ahead, a photo that arrived while nobody
// watched, one copied into a folder before its watch was in place).

namespace vorn {

enum class FileWriters {
    None,     // nobody on this machine has it open for writing
    Some,     // somebody does
    Unknown,  // the probe could not tell
};

enum class WriterProbe {
    // A read lease where one can be had: a handful of system calls, whatever runs on the
    // machine. Otherwise every process's open files in /proc.
    Any,
    // A read lease only: the kernel grants one only while nobody has the file open for writing.
    // Needs the file's owner or CAP_LEASE.
    Lease,
    // Every process's open files in /proc; its cost grows with the processes on the machine.
    // Unknown unless running as root (other users' processes are not seen) or a writer is found.
    ProcScan,
};

// fd: the file, opened read-only (a descriptor of this process opened for writing counts too).
FileWriters fileWriters(int fd, WriterProbe probe = WriterProbe::Any);

// Whether the file lies on a file system that other machines write (NFS, SMB, FUSE and the
// like): their writers are never seen here, so nobody-writes-it proves nothing there.
bool onSharedFileSystem(int fd);

}  // namespace vorn
