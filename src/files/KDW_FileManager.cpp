#include "files/KDW_FileManager.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/SafeMove.h"
#include "settings/Preferences.h"

namespace vorn {
namespace fs = std::filesystem;

namespace {

bool existsFollowingLinks(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool existsAtAll(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// An item names a place below its root; ".." would let a crafted name reach outside it.
bool staysInsideRoot(const std::string& item) {
    for (const auto& part : fs::path(item)) {
        if (part == "..") return false;
    }
    return true;
}

}  // namespace

void KDW_FileManager::moveFileToPath(const std::string& item, const std::string& srcRoot,
                                     const std::string& destRoot, bool overwrite,
                                     bool /*encapsulate*/) {
    if (!staysInsideRoot(item)) {
        platformLog("moveFileToPath2 => item [%s] leaves its folder, not moved???", item.c_str());
        return;
    }
    const std::string fullSourcePath = appendingPathComponent(srcRoot, item);
    if (!existsFollowingLinks(fullSourcePath)) return;

    ::mkdir(destRoot.c_str(), 0777);  // one level; an existing folder is fine

    if (isFolder(fullSourcePath)) {
        const std::string destFolder = appendingPathComponent(destRoot, item);
        ::mkdir(destFolder.c_str(), 0777);
        writeToStandardError(stringWithFormat("\ncreateDirectory %s\n", destFolder.c_str()));
        if (existsFollowingLinks(destRoot)) {
            writeToStandardError("moveFileToPath2 => destination moved/created Successfully\n\n");
        } else {
            writeToStandardError(stringWithFormat(
                "moveFileToPath2 => destination NOT moved or created: %s\n\n", destRoot.c_str()));
        }
        return;
    }

    const std::string destPath = appendingPathComponent(destRoot, item);
    if (overwrite && existsAtAll(destPath)) {
        std::error_code ec;
        fs::remove_all(destPath, ec);
        if (ec) {
            platformLog("moveFileToPath2 => removeFileAtPath Failed for item [ [%s]???",
                        destPath.c_str());
        }
    }

    writeToStandardError(
        stringWithFormat("\nmoveFileToPath2\rFROM fullSourcePath: %s\r        TO destPath: %s\r   "
                         "modifiedDestPath: %s\n\n",
                         fullSourcePath.c_str(), destRoot.c_str(), destPath.c_str()));
    std::string error;
    const bool moved = moveItemSafely(fullSourcePath, destPath, &error);
    if (!moved) {
        platformLog("moveFileToPath2 => movePath Failed???");
        platformLog("moveFileToPath2 => %s", error.c_str());
    }
    // Judged by the move itself: a destination that was there before is no success.
    if (moved && existsAtAll(destPath)) {
        writeToStandardError("moveFileToPath2 => destination moved/created Successfully\n\n");
    } else {
        writeToStandardError(stringWithFormat(
            "moveFileToPath2 => destination NOT moved or created: %s\n\n", destPath.c_str()));
    }
}

void KDW_FileManager::moveFileToPath(const std::string& item, const std::string& srcRoot,
                                     bool overwrite, bool encapsulate) {
    auto mirror = Preferences::getLocalMasterMirrorSiteFolder();
    if (!mirror || mirror->empty()) {
        platformLog("moveFileToPath2 => no mirror folder set, [%s] not moved???", item.c_str());
        return;
    }
    moveFileToPath(item, srcRoot, expandTildeInPath(*mirror), overwrite, encapsulate);
}

void KDW_FileManager::moveFileToPath(const std::string& item, const std::string& srcRoot) {
    moveFileToPath(item, srcRoot, true, false);
}

std::string KDW_FileManager::companionMovieItem(const std::string& item) {
    return deletingPathExtension(item) + ".mov";
}

std::optional<std::string> KDW_FileManager::setItemAside(const std::string& item,
                                                         const std::string& srcRoot,
                                                         const std::string& problemRoot,
                                                         const Clock& clock) {
    platformLog("Preparing to Move [%s]/[%s]...", srcRoot.c_str(), item.c_str());
    if (item.empty() || !staysInsideRoot(item)) {
        platformLog("setItemAside => item [%s] leaves its folder, not moved???", item.c_str());
        return std::nullopt;
    }
    const std::string photoSource = appendingPathComponent(srcRoot, item);
    if (!existsAtAll(photoSource)) {
        platformLog("setItemAside => [%s] does not exist anymore", photoSource.c_str());
        return std::nullopt;
    }
    const std::string movieItem = companionMovieItem(item);
    const std::string movieSource = appendingPathComponent(srcRoot, movieItem);
    const bool hasMovie = movieItem != item && existsAtAll(movieSource);

    // Every missing folder of the path: a photo that cannot be filed stays in the source
    // folder and would be uploaded and rejected again on every pass.
    const std::string parent = deletingLastPathComponent(item);
    const std::string destFolder = appendingPathComponent(problemRoot, parent);
    std::error_code ec;
    fs::create_directories(destFolder, ec);
    if (!isFolder(destFolder)) {
        platformLog("setItemAside => cannot create [%s]: %s", destFolder.c_str(),
                    ec.message().c_str());
        return std::nullopt;
    }

    const std::string name = lastPathComponent(item);
    const std::string ext = pathExtension(name);
    const std::string stem = deletingPathExtension(name);
    const std::string dotExt = ext.empty() ? std::string() : "." + ext;
    const std::string stamp = formatLocalTime(clock.now(), " %Y%m%d_%H%M%S");

    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string candidateName;
        if (attempt == 0) {
            candidateName = name;
        } else if (attempt == 1) {
            candidateName = stem + stamp + dotExt;
        } else {
            candidateName = stem + stamp + " " + std::to_string(attempt) + dotExt;
        }
        const std::string photoItem = appendingPathComponent(parent, candidateName);
        const std::string photoDest = appendingPathComponent(problemRoot, photoItem);
        const std::string movieDest =
            appendingPathComponent(problemRoot, companionMovieItem(photoItem));
        // The stem must be free for both, so the pair stays a pair.
        if (existsAtAll(photoDest) || existsAtAll(movieDest)) continue;

        std::string error;
        if (!moveItemSafely(photoSource, photoDest, &error)) {
            if (existsAtAll(photoDest)) continue;  // taken in the meantime
            platformLog("setItemAside => cannot move [%s] to [%s]: %s", photoSource.c_str(),
                        photoDest.c_str(), error.c_str());
            return std::nullopt;
        }
        platformLog("setItemAside => [%s] filed as [%s]", item.c_str(), photoDest.c_str());
        if (hasMovie) {
            if (moveItemSafely(movieSource, movieDest, &error)) {
                platformLog("setItemAside => [%s] filed as [%s]", movieItem.c_str(),
                            movieDest.c_str());
            } else {
                platformLog("setItemAside => cannot move [%s] to [%s]: %s", movieSource.c_str(),
                            movieDest.c_str(), error.c_str());
            }
        }
        return photoItem;
    }
    platformLog("setItemAside => no free name for [%s] in [%s]", item.c_str(), destFolder.c_str());
    return std::nullopt;
}

}  // namespace vorn
