// The empty-folder sweeps of KDW_FileManager.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "files/CleanUpProgress.h"
#include "files/FileUtilities.h"
#include "files/KDW_FileManager.h"
#include "files/OriginalPathResolver.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"

namespace vorn {
namespace {

// The user may delete the folder: he may change its parent (and, in a sticky parent such as
// /tmp, owns the folder or the parent).
bool userMayDelete(const std::string& path, const struct stat& item) {
    const std::string parent = deletingLastPathComponent(path);
    const std::string dir = parent.empty() ? "." : parent;
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return false;
    const uid_t me = ::geteuid();
    return !((st.st_mode & S_ISVTX) && me != 0 && item.st_uid != me && st.st_uid != me);
}

// Removes the folder and a ".DS_Store" in it. rmdir, not a recursive removal: a photo dropped
// in since the emptiness test keeps its folder.
bool removeEmptyFolder(const std::string& path, const std::string& relative,
                       MaintenanceWindow* progress) {
    if (progress) progress->ibUpdateLine2TextField(relative, false);
    writeToStandardError(
        stringWithFormat("\n===>  DELETING an EMPTY Directory: %s\n\n", path.c_str()));
    ::unlink(appendingPathComponent(path, ".DS_Store").c_str());
    return ::rmdir(path.c_str()) == 0;
}

// An empty folder dated before beforeDate goes; a newer one stays.
bool removeIfOlder(const std::string& path, const std::string& relative, SystemTime beforeDate,
                   const FileDateSource& fileDate, MaintenanceWindow* progress) {
    const auto date = fileDate ? fileDate(path) : std::nullopt;
    if (date && *date < beforeDate) {
        if (progress) {
            progress->ibUpdateLine2TextField(
                stringWithFormat("ITEM IS OLDDDDDDDD [%s]", path.c_str()), false);
        }
        platformLog("SHOULD BE DELETING THIS OLD ITEM??????");
        return removeEmptyFolder(path, relative, progress);
    }
    if (progress) {
        progress->ibUpdateLine2TextField(stringWithFormat("Will NOT Delete [%s]", path.c_str()),
                                         false);
    }
    platformLog("SHOULD NOT Delete this NEWER ITEm??????");
    return false;
}

}  // namespace

void KDW_FileManager::deleteFolderIfEmpty(const std::string& sourcePath,
                                          bool doNotDeleteImmediateChild,
                                          std::optional<SystemTime> beforeDate,
                                          MaintenanceWindow* progress,
                                          const FileDateSource& fileDate) {
    const char* method =
        "deleteFolderIfEmpty:doNotDeleteImmediateChild:beforeDate:withProgressController:";
    platformLog("Inside %s->[%s] ==> Passed SourcePath: [%s]", kClass, method, sourcePath.c_str());
    struct stat rootStat {};
    if (sourcePath.empty() || ::stat(sourcePath.c_str(), &rootStat) != 0) {
        platformLog("Inside %s->[%s] ==> passed Invalid SourcePath: [%s]", kClass, method,
                    sourcePath.c_str());
        return;
    }
    if (!S_ISDIR(rootStat.st_mode)) {
        platformLog("Inside %s->[%s] ==> sourcePath is NOT a Directory: [%s]", kClass, method,
                    sourcePath.c_str());
        return;
    }

    // Depth first, each folder before its contents. The depth, not the path text, says what a
    // direct sub-folder is: "/src/" and "/src" are the same root.
    struct Entry {
        std::string relative;
        int depth;
    };
    std::vector<Entry> pending;
    auto pushContents = [&](const std::string& relative, int depth) {
        const auto names = directoryContentsAtPath(appendingPathComponent(sourcePath, relative));
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            pending.push_back({appendingPathComponent(relative, *it), depth});
        }
    };
    pushContents("", 1);

    while (!pending.empty()) {
        const Entry entry = pending.back();
        pending.pop_back();
        const std::string path = appendingPathComponent(sourcePath, entry.relative);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            platformLog("testDirectory=> curItem does NOT exist: %s\n", path.c_str());
            continue;
        }
        // Files, and links that are never followed out of the tree.
        if (!S_ISDIR(st.st_mode)) continue;

        bool deleted = false;
        if (!userMayDelete(path, st)) {
            writeToStandardError(
                stringWithFormat("??? Directory is CANNOT Be Deleted?????: %s\n", path.c_str()));
        } else if (isDirectoryEmpty(path)) {
            if (doNotDeleteImmediateChild) {
                if (entry.depth == 1) {
                    platformLog("\nCANNOT DELETE same Root Path of [%s]\n", sourcePath.c_str());
                } else {
                    platformLog("\nOKAY to delete  Path of [%s]\n", path.c_str());
                    deleted = removeEmptyFolder(path, entry.relative, progress);
                }
            } else if (beforeDate) {
                deleted = removeIfOlder(path, entry.relative, *beforeDate, fileDate, progress);
            } else {
                deleted = removeEmptyFolder(path, entry.relative, progress);
            }
        }
        if (!deleted) pushContents(entry.relative, entry.depth + 1);
    }
}

void KDW_FileManager::deleteFolderIfEmpty(const std::string& sourcePath,
                                          bool doNotDeleteImmediateChild) {
    deleteFolderIfEmpty(sourcePath, doNotDeleteImmediateChild, std::nullopt, nullptr);
}

void KDW_FileManager::deleteOLDFolderIfEmpty(const std::string& sourcePath,
                                             bool doNotDeleteImmediateChild, std::int16_t daysOld,
                                             const Clock& clock, const FileDateSource& fileDate) {
    VORN_TRACE(kClass, "deleteOLDFolderIfEmpty:doNotDeleteImmediateChild:forDaysOld:");
    const SystemTime cutoff = clock.now() - std::chrono::seconds(std::int64_t{daysOld} * 86400);
    deleteFolderIfEmpty(sourcePath, doNotDeleteImmediateChild, cutoff, nullptr, fileDate);
}

}  // namespace vorn
