#pragma once
// Opening a file whose path someone else chose, without following a symbolic link anywhere on
// it: what is opened is what the path names, and it stays that file however the path changes
// afterwards. Checks then look at the descriptor, never at the path again.

#include <string>

namespace vorn {

enum class LinkSafeOpen { Openat2, WalkEachFolder };

// open(path, flags | O_CLOEXEC) refusing any symbolic link on the path (the file itself and
// every folder on its way; ".." is fine) with ELOOP. openat2 with RESOLVE_NO_SYMLINKS where the
// kernel has it, else folder by folder with O_NOFOLLOW; how picks the way (tests use both). A
// descriptor, or -1 with errno set.
int openWithoutLinks(const std::string& path, int flags, LinkSafeOpen how = LinkSafeOpen::Openat2);

// The name under which the kernel knows an open file ("/proc/self/fd/N" read back); empty when
// it cannot tell.
std::string pathOfDescriptor(int fd);

// A path that opens the very file fd refers to, for code that takes only a path.
std::string descriptorPath(int fd);

}  // namespace vorn
