#pragma once
// The user's trash, laid out the freedesktop.org way:
// $XDG_DATA_HOME/Trash/files holds the items, $XDG_DATA_HOME/Trash/info/<name>.trashinfo
// says where each came from and when it was trashed, so a file manager can put it back.

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

}  // namespace vorn
