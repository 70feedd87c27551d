#pragma once
// The clean-ups that keep the working folders from growing without end: old photos in the
// mirror folder, empty folders in the mirror and source folders. Deletions are permanent;
// only images older than the limit in the mirror folder and empty folders are ever deleted.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "files/CleanUpProgress.h"
#include "files/KDW_FileManager.h"
#include "platform/Clock.h"

namespace vorn {

struct CleanUpContext {
    // Every age is measured against this clock.
    std::shared_ptr<const Clock> clock = Clock::system();
    // Whether a file is an image (IsValidImageObject in the application). Without one no file
    // counts as an image and none is deleted.
    std::function<bool(const std::string& path)> isImage;
    FileDateSource fileDate = fileDateForAging;
    // Opens the progress window; empty: the tasks run without one.
    MaintenanceWindowFactory newMaintenanceWindow;
    // The pause before the old-photo deletion starts walking the mirror folder.
    std::chrono::milliseconds settleDelay{4000};
};

// The age limit of mirrored photos in days: "prefDaysOldBeforeDeleting" read as a 16-bit
// number. 30 when it is unset, below 1 day (a limit of 0 or less would delete every photo at
// once) or not a number; 32767 when it is larger.
std::int16_t daysOldBeforeDeleting();

// Deletes the images in the mirror folder dated strictly before now minus the limit, when
// "prefDoUseDeleteOldPhotos" is on. Other files stay however old; so does anything inside the
// source folder should it lie within the mirror folder (those photos are not uploaded yet).
void deleteOldOldPhotosAndFolderIfEmptyWorks(const CleanUpContext& context);

// Body of the clean-up thread, run once per launch: when "prefDoUseDeleteOldPhotos" is on, the
// old-photo deletion, then a sweep of every empty folder in the mirror folder.
void doSetupDeleteOldPhotosThread(const CleanUpContext& context);

// The start-up sweeps: empty folders of the source folder older than 3 days, twice, so that
// two levels go.
void deleteOldEmptySourceFolders(const CleanUpContext& context);

// The quit-time sweep: every empty folder below the source folder's direct sub-folders, with a
// progress window. The caller checks "prefDeleteEmptyFtpFolders".
void ibDeleteLocalFtpFolderIfEmpty(const CleanUpContext& context);

}  // namespace vorn
