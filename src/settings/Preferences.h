#pragma once
// Class-level readers of the settings, with the fallbacks, clamps and write-backs the rest of
// the program relies on. No instances, no state of its own: everything lives in the store.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "settings/PreferencesStore.h"

namespace vorn {

class Preferences {
  public:
    Preferences() = delete;

    // The store every accessor reads. Until one is set, an unloaded store at
    // PreferencesStore::defaultPath(). A replaced store stays alive, so references handed out
    // by store() remain valid.
    static void setStore(std::shared_ptr<PreferencesStore> store);
    static std::shared_ptr<PreferencesStore> sharedStore();
    static PreferencesStore& store();

    static std::optional<std::string> getLocalSourceUploadFolder();
    static std::optional<std::string> getLocalMasterMirrorSiteFolder();
    // "Problem Folder" beside the mirror folder; nothing when no mirror folder is set.
    static std::optional<std::string> getLocalProblemUploadFolder();
    static std::optional<std::string> getCurUserLoginName();
    static std::optional<std::string> getCurUserLoginPassword();
    static bool getUseEventName();  // always true

    static bool getPrefShowPreviewWhenUploading();
    // Write-back: when the key has no value at all, false is stored under it.
    static bool getPrefDeleteEmptyFtpFolders();
    static bool getDoAutoSynchronize();
    static bool getPrefUseDoDeleteOldPhotos();
    static bool getPrefShowWindowAtStartup();
    static bool getAutoStartUploadAtStartup();

    // The stored number itself (nothing when unset); each logs what it read.
    static std::optional<double> getPrefSecondsBetweenScans();
    static std::optional<double> getPrefDaysOldBeforeDeleting();
    static std::optional<double> getPrefMinutesForCheckOrders();

    static std::optional<std::string> getKivFuseAction();
    static std::optional<std::string> getPrefKivURL();
    static std::optional<std::string> getPrefMetaData();
    static std::optional<std::string> getPrefCheckHiResOrderFuseAction();
    static std::optional<std::string> getPrefUploadHiResOrderFuseAction();
    static std::optional<std::string> getPrefKivHiResAlternatePath1();
    static bool getPrefDoCheckOrders();
    static bool getPrefAllowRootVolumeSelections();
    static bool getPrefFormBaseIdFromFileName();

    // 0 neither, 1 original path, 2 alternate folder, 3 both; truncated to 16 bits.
    static std::int16_t getPrefSearchPathMethodTag();
    static bool getPrefAlwaysSearchOriginalPath();     // tag 1 or 3
    static bool getPrefDoUseKivHiResAlternatePath1();  // tag 2 or 3

    // Days to keep log files, clamped to 3..90 (unset or 0 and below: 14); a corrected value
    // is stored.
    static int getDaysToSaveLogs();
    // Seconds an upload may take; 500 when unset, NaN or not above 0, at most a day.
    static float getUploadTimeOut();
    static constexpr double kLongestUploadTimeOut = 86400;
    // Photos in flight at once: 1 (unset or out of range) to 8.
    static int getConcurrentUploads();
    static constexpr int kMostConcurrentUploads = 8;
    // The most bytes a second all uploads together may send; 0 (unset, negative): no cap.
    static std::uint64_t getMaxUploadBytesPerSecond();
};

}  // namespace vorn
