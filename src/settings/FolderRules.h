#pragma once
// Where the uploader's folders may lie. Photos are taken from the source folder and filed into
// the mirror folder (uploaded) or the problem folder (set aside); a folder that is, holds or
// lies inside another would upload what it files, or file away what it has not uploaded.

#include <optional>
#include <string>

namespace vorn {

// The problem folder that goes with a mirror folder: "Problem Folder" beside it. Empty for an
// empty mirror folder ("Problem Folder" alone would land in the working folder).
std::string problemFolderBeside(const std::string& mirror);

// Whether source overlaps mirror or problem (either may be empty: not checked), however the
// paths are written: links and "." or ".." are resolved, a part that does not exist yet is
// taken as written. The message names both folders; nothing when they lie apart.
std::optional<std::string> folderOverlap(const std::string& source, const std::string& mirror,
                                         const std::string& problem);

}  // namespace vorn
