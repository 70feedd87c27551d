#include "files/CleanUp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "files/OriginalPathResolver.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/Preferences.h"

namespace vorn {
namespace {

// Clean-up was part of the application controller; its log lines still say so.
constexpr const char* kCleanUpClass = "AppController";
constexpr std::int16_t kDefaultDaysOld = 30;
constexpr const char* kDateLogPattern = "%Y-%m-%d %H:%M:%S %z";

std::string folderPreference(const std::optional<std::string>& value) {
    return value ? expandTildeInPath(*value) : std::string();
}

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool valid = false;

    bool is(const struct stat& st) const {
        return valid && st.st_dev == device && st.st_ino == inode;
    }
};

FileIdentity identityOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, true};
}

std::unique_ptr<MaintenanceWindow> openMaintenanceWindow(const CleanUpContext& context) {
    std::unique_ptr<MaintenanceWindow> window;
    if (context.newMaintenanceWindow) window = context.newMaintenanceWindow();
    if (!window) platformLog("UNABLE to create _newMaintProgressWindow.....");
    return window;
}

void closeMaintenanceWindow(std::unique_ptr<MaintenanceWindow>& window) {
    if (!window) return;
    window->close();
    window.reset();
}

// Deletes the images under mirror dated before cutoff, depth first, leaving the source folder
// (source) alone wherever it lies; shows each deletion and each skipped file in the window.
void deleteOldPhotosUnder(const std::string& mirror, const FileIdentity& source, SystemTime cutoff,
                          const CleanUpContext& context, MaintenanceWindow* window) {
    std::vector<std::string> pending;  // relative paths, depth first
    auto pushContents = [&](const std::string& relative) {
        const auto names = directoryContentsAtPath(appendingPathComponent(mirror, relative));
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            pending.push_back(appendingPathComponent(relative, *it));
        }
    };
    pushContents("");
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        const std::string path = appendingPathComponent(mirror, relative);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            platformLog("testDirectory=> curItem does NOT exist: %s\n", path.c_str());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (source.is(st)) {
                platformLog(
                    "deleteOldOldPhotosAndFolderIfEmpty => skipping the source folder "
                    "[%s]",
                    path.c_str());
            } else {
                pushContents(relative);
            }
            continue;
        }
        // Links are not followed out of the mirror folder.
        if (!S_ISREG(st.st_mode)) continue;

        const std::string name = lastPathComponent(relative);
        if (context.isImage && context.isImage(path)) {
            const auto date = context.fileDate ? context.fileDate(path) : std::nullopt;
            if (date && *date < cutoff) {
                if (window) window->ibUpdateLine2TextField("Deleting: " + relative, false);
                if (::unlink(path.c_str()) != 0) {
                    platformLog("deleteOldOldPhotosAndFolderIfEmpty => could not delete [%s]",
                                path.c_str());
                }
            }
        } else {
            platformLog("itemName is NOT an Image File: [%s]\n", name.c_str());
            if (window && !name.empty() && name[0] != '.') {
                window->ibUpdateLine2TextField("Skipping: " + relative, false);
            }
        }
    }
}

}  // namespace

std::int16_t daysOldBeforeDeleting() {
    const auto value = Preferences::getPrefDaysOldBeforeDeleting();
    if (!value) {
        platformLog(
            "deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned "
            "nil???");
    } else if (!(*value >= 1)) {
        platformLog(
            "deleteOldOldPhotosAndFolderIfEmpty => getPrefDaysOldBeforeDeleting returned "
            "[%g], not a number of days???",
            *value);
    } else if (*value >= 32767) {
        return 32767;
    } else {
        return static_cast<std::int16_t>(*value);
    }
    platformLog("deleteOldOldPhotosAndFolderIfEmpty => Reverting to Default value of [%i] days...",
                kDefaultDaysOld);
    return kDefaultDaysOld;
}

void deleteOldOldPhotosAndFolderIfEmptyWorks(const CleanUpContext& context) {
    VORN_TRACE(kCleanUpClass, "deleteOldOldPhotosAndFolderIfEmptyWorks");
    if (!Preferences::getPrefUseDoDeleteOldPhotos()) {
        platformLog("deleteOldOldPhotosAndFolderIfEmpty -> preference is turned off...");
        return;
    }
    const std::int16_t days = daysOldBeforeDeleting();
    const SystemTime now = context.clock->now();
    const SystemTime cutoff = now - std::chrono::seconds(std::int64_t{days} * 86400);
    platformLog("Current Date is now: [%s]", formatLocalTime(now, kDateLogPattern).c_str());
    platformLog("Looking For Images that are EARLIER than: [%s]",
                formatLocalTime(cutoff, kDateLogPattern).c_str());

    const std::string mirror = folderPreference(Preferences::getLocalMasterMirrorSiteFolder());
    struct stat rootStat {};
    if (mirror.empty() || ::stat(mirror.c_str(), &rootStat) != 0) {
        platformLog("testDirectory=> source item FOLDER does NOT exist: %s\n", mirror.c_str());
        return;
    }
    if (!S_ISDIR(rootStat.st_mode)) {
        platformLog("testDirectory=> source item is NOT a Folder: %s\n", mirror.c_str());
        return;
    }
    // Photos in the source folder wait for their upload, however old they are.
    const FileIdentity source =
        identityOf(folderPreference(Preferences::getLocalSourceUploadFolder()));
    if (source.is(rootStat)) {
        platformLog(
            "deleteOldOldPhotosAndFolderIfEmpty => the mirror folder is the source "
            "folder [%s], nothing deleted",
            mirror.c_str());
        return;
    }

    if (context.settleDelay.count() > 0) std::this_thread::sleep_for(context.settleDelay);

    auto window = openMaintenanceWindow(context);
    if (window) {
        window->ibUpdateLine1TextField(
            stringWithFormat("Deleting the OLD Photos (older than %i days)...", days), false);
        window->ibUpdateLine2TextField("", false);
        window->ibUpdateProgressBar("YES");
        window->showWindow();
    }

    deleteOldPhotosUnder(mirror, source, cutoff, context, window.get());
    closeMaintenanceWindow(window);
}

void doSetupDeleteOldPhotosThread(const CleanUpContext& context) {
    if (!Preferences::getPrefUseDoDeleteOldPhotos()) return;
    platformLog("doSetupDeleteOldPhotosThread - Started...");
    deleteOldOldPhotosAndFolderIfEmptyWorks(context);
    KDW_FileManager::deleteFolderIfEmpty(
        folderPreference(Preferences::getLocalMasterMirrorSiteFolder()), false);
    platformLog("doSetupDeleteOldPhotosThread - Done...");
}

void deleteOldEmptySourceFolders(const CleanUpContext& context) {
    const std::string source = folderPreference(Preferences::getLocalSourceUploadFolder());
    for (int pass = 0; pass < 2; ++pass) {
        KDW_FileManager::deleteOLDFolderIfEmpty(source, false, 3, *context.clock, context.fileDate);
    }
}

void ibDeleteLocalFtpFolderIfEmpty(const CleanUpContext& context) {
    VORN_TRACE(kCleanUpClass, "ibDeleteLocalFtpFolderIfEmpty:");
    const std::string source = folderPreference(Preferences::getLocalSourceUploadFolder());
    struct stat st {};
    if (source.empty() || ::stat(source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;

    auto window = openMaintenanceWindow(context);
    if (window) {
        window->showWindow();
        window->ibUpdateLine1TextField("Deleting Empty Folders in the Source Upload Folder:",
                                       false);
        window->ibUpdateLine2TextField("", false);
        window->ibUpdateProgressBar("YES");
    }
    KDW_FileManager::deleteFolderIfEmpty(source, true, std::nullopt, window.get(),
                                         context.fileDate);
    closeMaintenanceWindow(window);
}

}  // namespace vorn
