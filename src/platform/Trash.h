#pragma once
// The user's trash, laid out the freedesktop.org way:
// $XDG_DATA_HOME/Trash/files holds the items, $XDG_DATA_HOME/Trash/info/<name>.trashinfo
// says where each came from and when it was trashed, so a file manager can put it back.

#include <functional>
#include <optional>
#include <string>

#include "platform/Clock.h"

namespace vorn {

// $XDG_DATA_HOME/Trash/files (XDG_DATA_HOME defaults to ~/.local/share), with the trash
// folders created (mode 0700) when missing. Nothing when it cannot be had.
std::optional<std::string> userTrashFilesDirectory();

// Moves the file or folder at path into the trash and writes its .trashinfo. A name already
// in the trash gets the local time " %Y%m%d_%H%M%S" appended to the whole name
// ("log.txt 20101126_140509"), then a counter if that is taken too; nothing in the trash is
// ever replaced. trashedPath receives where the item went.
bool moveToTrash(const std::string& path, const Clock& clock, std::string* trashedPath = nullptr);

// The move that the trash and the file moves share. It never replaces anything at `to`. Within
// one file system it is a rename; across file systems (files only) the bytes are copied to a
// hidden temporary name beside `to`, synced, renamed into place and the folder synced before
// the source is removed, so an interruption leaves the source intact and either nothing or the
// complete file under the final name.
enum class SafeMoveStep {
    Copied,  // the temporary copy is complete and synced; nothing is under the final name yet
    Placed,  // the copy is in place under the final name; the source is still there
};
using SafeMoveHook = std::function<void(SafeMoveStep)>;

bool moveItemWithoutReplacing(const std::string& from, const std::string& to,
                              std::string* error = nullptr, const SafeMoveHook* hook = nullptr);

}  // namespace vorn
