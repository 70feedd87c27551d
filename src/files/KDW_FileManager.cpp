#include "files/KDW_FileManager.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/SafeMove.h"
#include "settings/Preferences.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

// An item names a place below its root; ".." would let a crafted name reach outside it.
bool staysInsideRoot(const std::string& item) {
    for (const auto& part : fs::path(item)) {
        if (part == "..") return false;
    }
    return true;
}

}  // namespace

FileMoveResult KDW_FileManager::moveFileToPath(const std::string& item, const std::string& srcRoot,
                                               const std::string& destRoot, bool overwrite,
                                               bool /*encapsulate*/) {
    if (!staysInsideRoot(item)) {
        platformLog("moveFileToPath2 => item [%s] leaves its folder, not moved???", item.c_str());
        return {false, "the name leaves its folder"};
    }
    const std::string fullSourcePath = appendingPathComponent(srcRoot, item);
    if (!existsFollowingLinks(fullSourcePath)) return {};

    ::mkdir(destRoot.c_str(), 0777);  // one level; an existing folder is fine

    if (isFolderFollowingLinks(fullSourcePath)) {
        const std::string destFolder = appendingPathComponent(destRoot, item);
        ::mkdir(destFolder.c_str(), 0777);
        writeToStandardError(stringWithFormat("\ncreateDirectory %s\n", destFolder.c_str()));
        if (existsFollowingLinks(destRoot)) {
            writeToStandardError("moveFileToPath2 => destination moved/created Successfully\n\n");
            return {};
        }
        writeToStandardError(stringWithFormat(
            "moveFileToPath2 => destination NOT moved or created: %s\n\n", destRoot.c_str()));
        return {false, "cannot create " + destRoot};
    }

    const std::string destPath = appendingPathComponent(destRoot, item);
    writeToStandardError(
        stringWithFormat("\nmoveFileToPath2\rFROM fullSourcePath: %s\r        TO destPath: %s\r   "
                         "modifiedDestPath: %s\n\n",
                         fullSourcePath.c_str(), destRoot.c_str(), destPath.c_str()));
    FileMoveResult result = moveFileAtPath(fullSourcePath, destPath, overwrite);
    // Judged by the move itself: a destination that was there before is no success.
    if (result && existsAtPath(destPath)) {
        writeToStandardError("moveFileToPath2 => destination moved/created Successfully\n\n");
    } else {
        writeToStandardError(stringWithFormat(
            "moveFileToPath2 => destination NOT moved or created: %s\n\n", destPath.c_str()));
    }
    return result;
}

FileMoveResult KDW_FileManager::moveFileAtPath(const std::string& from, const std::string& to,
                                               bool overwrite) {
    if (!existsAtPath(from)) return {};
    std::string error;
    // An older copy is replaced by the rename of the whole new one, never removed first.
    const SafeMoveResult moved =
        overwrite ? replaceItemSafely(from, to, &error) : moveItemSafely(from, to, &error);
    if (moved.sourceLeft()) return {true, error, true};
    if (moved) return {};
    platformLog("moveFileToPath2 => movePath Failed???");
    platformLog("moveFileToPath2 => [%s] -> [%s]: %s", from.c_str(), to.c_str(), error.c_str());
    return {false, error};
}

FileMoveResult KDW_FileManager::moveFileToPath(const std::string& item, const std::string& srcRoot,
                                               bool overwrite, bool encapsulate) {
    auto mirror = Preferences::getLocalMasterMirrorSiteFolder();
    if (!mirror || mirror->empty()) {
        platformLog("moveFileToPath2 => no mirror folder set, [%s] not moved???", item.c_str());
        return {false, "no mirror folder is set"};
    }
    return moveFileToPath(item, srcRoot, expandTildeInPath(*mirror), overwrite, encapsulate);
}

FileMoveResult KDW_FileManager::moveFileToPath(const std::string& item,
                                               const std::string& srcRoot) {
    return moveFileToPath(item, srcRoot, true, false);
}

std::string KDW_FileManager::companionMovieItem(const std::string& item) {
    return deletingPathExtension(item) + ".mov";
}

std::optional<std::string> KDW_FileManager::setItemAside(const std::string& item,
                                                         const std::string& srcRoot,
                                                         const std::string& problemRoot,
                                                         const Clock& clock, std::string* error,
                                                         bool withMovie, bool* sourceLeft) {
    auto fail = [error](std::string why) -> std::optional<std::string> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    platformLog("Preparing to Move [%s]/[%s]...", srcRoot.c_str(), item.c_str());
    if (item.empty() || !staysInsideRoot(item)) {
        platformLog("setItemAside => item [%s] leaves its folder, not moved???", item.c_str());
        return fail("the name leaves its folder");
    }
    const std::string photoSource = appendingPathComponent(srcRoot, item);
    if (!existsAtPath(photoSource)) {
        platformLog("setItemAside => [%s] does not exist anymore", photoSource.c_str());
        return fail("it is gone");
    }
    const std::string movieItem = companionMovieItem(item);
    const std::string movieSource = appendingPathComponent(srcRoot, movieItem);
    const bool hasMovie = withMovie && movieItem != item && existsAtPath(movieSource);

    // Every missing folder of the path: a photo that cannot be filed stays in the source
    // folder and would be uploaded and rejected again on every pass.
    const std::string parent = deletingLastPathComponent(item);
    const std::string destFolder = appendingPathComponent(problemRoot, parent);
    std::error_code ec;
    fs::create_directories(destFolder, ec);
    if (!isFolderFollowingLinks(destFolder)) {
        platformLog("setItemAside => cannot create [%s]: %s", destFolder.c_str(),
                    ec.message().c_str());
        return fail(ec ? ec.message() : "cannot create " + destFolder);
    }

    const std::string name = lastPathComponent(item);
    const std::string stamp = formatLocalTime(clock.now(), " %Y%m%d_%H%M%S");

    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string candidateName;
        if (attempt == 0) {
            candidateName = name;
        } else if (attempt == 1) {
            candidateName = nameWithSuffix(name, stamp);
        } else {
            candidateName = nameWithSuffix(name, stamp + " " + std::to_string(attempt));
        }
        const std::string photoItem = appendingPathComponent(parent, candidateName);
        const std::string photoDest = appendingPathComponent(problemRoot, photoItem);
        const std::string movieDest =
            appendingPathComponent(problemRoot, companionMovieItem(photoItem));
        // The stem must be free for both, so the pair stays a pair.
        if (existsAtPath(photoDest) || existsAtPath(movieDest)) continue;

        std::string why;
        const SafeMoveResult moved = moveItemSafely(photoSource, photoDest, &why);
        if (!moved) {
            if (existsAtPath(photoDest)) continue;  // taken in the meantime
            platformLog("setItemAside => cannot move [%s] to [%s]: %s", photoSource.c_str(),
                        photoDest.c_str(), why.c_str());
            return fail(why);
        }
        platformLog("setItemAside => [%s] filed as [%s]", item.c_str(), photoDest.c_str());
        if (moved.sourceLeft()) {
            if (sourceLeft) *sourceLeft = true;
            if (error) *error = why;
        }
        if (hasMovie) {
            if (moveItemSafely(movieSource, movieDest, &why)) {
                platformLog("setItemAside => [%s] filed as [%s]", movieItem.c_str(),
                            movieDest.c_str());
            } else {
                platformLog("setItemAside => cannot move [%s] to [%s]: %s", movieSource.c_str(),
                            movieDest.c_str(), why.c_str());
                if (error) *error = why;  // the photo is filed; the movie waits for a retry
            }
        }
        return photoItem;
    }
    platformLog("setItemAside => no free name for [%s] in [%s]", item.c_str(), destFolder.c_str());
    return fail("no free name in " + destFolder);
}

std::string KDW_FileManager::nameWithSuffix(const std::string& name, const std::string& suffix,
                                            std::size_t maxBytes) {
    const std::string ext = pathExtension(name);
    std::string stem = deletingPathExtension(name);
    const std::string dotExt = ext.empty() ? std::string() : "." + ext;
    // The movie takes the same stem with ".mov": both names must fit.
    const std::size_t tail = suffix.size() + std::max<std::size_t>(dotExt.size(), 4);
    if (stem.size() + tail > maxBytes) {
        std::size_t keep = maxBytes > tail ? maxBytes - tail : 0;
        // Back up to the start of a character: never half of one.
        while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
        stem.resize(keep);
    }
    return stem + suffix + dotExt;
}

}  // namespace vorn
