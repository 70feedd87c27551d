#pragma once
// Moves of uploaded items between the source, mirror and problem folders. An item is named by
// its path relative to the source folder and keeps that path in every folder; its companion
// movie (same name, extension "mov") travels with it.

#include <optional>
#include <string>

#include "platform/Clock.h"

namespace vorn {

class KDW_FileManager {
  public:
    KDW_FileManager() = delete;

    // Moves srcRoot/item to destRoot/item. A missing source is skipped silently; destRoot is
    // created (one level) when missing; a folder item only gets its counterpart folder made.
    // With overwrite a file already at the destination is replaced; without it the move fails
    // and the item stays. The encapsulate flag is accepted and unused. Never creates the
    // item's intermediate folders.
    static void moveFileToPath(const std::string& item, const std::string& srcRoot,
                               const std::string& destRoot, bool overwrite, bool encapsulate);
    // The same into the mirror folder preference ("~" expanded).
    static void moveFileToPath(const std::string& item, const std::string& srcRoot, bool overwrite,
                               bool encapsulate);
    // Into the mirror folder, replacing a same-named file.
    static void moveFileToPath(const std::string& item, const std::string& srcRoot);

    // "client/IMG_0001.jpg" -> "client/IMG_0001.mov"; a name without extension gets ".mov".
    static std::string companionMovieItem(const std::string& item);

    // Files the photo and its companion movie under problemRoot at the same relative path,
    // creating every missing folder of that path. When the name is taken there (by the photo
    // or the movie), both get the stem plus " %Y%m%d_%H%M%S" (local time), e.g.
    // "x 20261206_141503.jpg" and "x 20261206_141503.mov"; nothing there is ever replaced.
    // Returns the relative path the photo got, or nothing when it stayed where it was.
    static std::optional<std::string> setItemAside(const std::string& item,
                                                   const std::string& srcRoot,
                                                   const std::string& problemRoot,
                                                   const Clock& clock);
};

}  // namespace vorn
