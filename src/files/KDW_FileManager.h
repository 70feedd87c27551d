#pragma once
// Moves of uploaded items between the source, mirror and problem folders. An item is named by
// its path relative to the source folder and keeps that path in every folder; its companion
// movie (same name, extension "mov") travels with it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileTimes.h"

namespace vorn {

class MaintenanceWindow;

// The date a sweep ages an item by; fileDateForAging in the application.
using FileDateSource = std::function<std::optional<SystemTime>(const std::string& path)>;

// What a move did. A missing source counts as done (nothing to move).
struct FileMoveResult {
    bool ok = true;
    std::string error;  // why it failed, e.g. "No space left on device"
    // Filed, but the source copy could not be removed (error says why): it stays where it is.
    bool sourceLeft = false;
    explicit operator bool() const { return ok; }
};

class KDW_FileManager {
  public:
    // The class name log lines carry.
    static constexpr const char* kClass = "KDW_FileManager";

    KDW_FileManager() = delete;

    // Moves srcRoot/item to destRoot/item. A missing source is skipped silently; destRoot is
    // created (one level) when missing; a folder item only gets its counterpart folder made.
    // With overwrite a file already at the destination is replaced, and only by the complete
    // new copy; without it the move fails and the item stays. A source that cannot be removed
    // once its copy is in place stays beside it (sourceLeft). The encapsulate flag is accepted
    // and unused. Never creates the item's intermediate folders.
    static FileMoveResult moveFileToPath(const std::string& item, const std::string& srcRoot,
                                         const std::string& destRoot, bool overwrite,
                                         bool encapsulate);
    // The same into the mirror folder preference ("~" expanded).
    static FileMoveResult moveFileToPath(const std::string& item, const std::string& srcRoot,
                                         bool overwrite, bool encapsulate);
    // Into the mirror folder, replacing a same-named file.
    static FileMoveResult moveFileToPath(const std::string& item, const std::string& srcRoot);
    // One file from one full path to another; a missing source is done.
    static FileMoveResult moveFileAtPath(const std::string& from, const std::string& to,
                                         bool overwrite);

    // "client/IMG_0001.jpg" -> "client/IMG_0001.mov"; a name without extension gets ".mov".
    static std::string companionMovieItem(const std::string& item);

    // Files the photo and its companion movie under problemRoot at the same relative path,
    // creating every missing folder of that path. When the name is taken there (by the photo
    // or the movie), both get the stem plus " %Y%m%d_%H%M%S" (local time), e.g.
    // "x 20261206_141503.jpg" and "x 20261206_141503.mov"; nothing there is ever replaced.
    // A stamped name too long for the file system gets its stem shortened (whole UTF-8
    // characters). Returns the relative path the photo got, or nothing when it stayed where it
    // was (error then says why). withMovie false files the photo alone. sourceLeft is set when
    // the photo was filed but its source copy could not be removed (error says why).
    static std::optional<std::string> setItemAside(const std::string& item,
                                                   const std::string& srcRoot,
                                                   const std::string& problemRoot,
                                                   const Clock& clock, std::string* error = nullptr,
                                                   bool withMovie = true,
                                                   bool* sourceLeft = nullptr);
    // name with suffix inserted before its extension, its stem cut (whole UTF-8 characters)
    // so that the result, and the same with extension "mov", fit in maxBytes.
    static std::string nameWithSuffix(const std::string& name, const std::string& suffix,
                                      std::size_t maxBytes = 255);

    // Folder sweeps (KDW_FileManagerSweeps.cpp). Deletes the empty folders below sourcePath
    // (empty: no entries, or only ".DS_Store", which goes with the folder); files, symbolic
    // links, folders the user may not delete and sourcePath itself are left alone. A folder is
    // tested before its contents, so one sweep removes one level. doNotDeleteImmediateChild
    // also keeps the direct sub-folders of sourcePath, whatever their age; otherwise, with a
    // cutoff, only folders dated strictly before it go. progress, when given, shows each step
    // on its line 2.
    static void deleteFolderIfEmpty(const std::string& sourcePath, bool doNotDeleteImmediateChild,
                                    std::optional<SystemTime> beforeDate,
                                    MaintenanceWindow* progress,
                                    const FileDateSource& fileDate = fileDateForAging);
    // No cutoff, no progress window.
    static void deleteFolderIfEmpty(const std::string& sourcePath, bool doNotDeleteImmediateChild);
    // The cutoff is the clock's now minus daysOld x 86400 s; no progress window.
    static void deleteOLDFolderIfEmpty(const std::string& sourcePath,
                                       bool doNotDeleteImmediateChild, std::int16_t daysOld,
                                       const Clock& clock = *Clock::system(),
                                       const FileDateSource& fileDate = fileDateForAging);

    // Original path resolution (OriginalPathResolver.cpp), steered by the search method tag
    // (1 the original path, 2 the alternate folder, 3 both, anything else nothing). Answers
    // the path of an existing item, or nothing.
    // Without a list: the original path alone. With one: the search under each given root,
    // then under each visible sub-folder of the first root; the first hit wins.
    static std::optional<std::string> doResolveOriginalPathInArrayOfPaths(
        const std::optional<std::string>& originalPath,
        const std::vector<std::string>* inArrayOfPaths);
    // The original path as it is (tags 1 and 3; file or folder), then, under inPath (tags 2
    // and 3; files only): the original path, then inPath joined with ever shorter tails of it,
    // down to the parent folder's name with the file name.
    static std::optional<std::string> doResolveOriginalPathInPath(
        const std::optional<std::string>& originalPath, const std::optional<std::string>& inPath);
};

}  // namespace vorn
