#pragma once
// Replacing a file so that readers see either the old bytes or the new ones, never a mixture,
// and a crash at any moment leaves one of the two on disk.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace vorn {

// Writes bytes to path via a temporary file in the same folder created with `mode` from the
// start (never readable by others even for a moment), fsync, rename over path, fsync the
// folder. False + *error on failure; the old file then stays intact and no temporary file is
// left behind. The final file has exactly `mode`, whatever the umask. With Sync::No the fsyncs
// are left out: a process killed at any moment still leaves the old bytes or the new ones, but
// a power cut may leave the old ones.
enum class Sync { Yes, No };
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                         std::string* error = nullptr, Sync sync = Sync::Yes);

}  // namespace vorn
