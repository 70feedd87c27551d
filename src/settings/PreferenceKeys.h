#pragma once
// Every preference key, spelled once. Readers and writers use these constants only.

#include <string>
#include <vector>

namespace vorn {

inline constexpr const char* sPrefLocalSourceUploadFolder = "prefLocalSourceUploadFolder";
inline constexpr const char* sPrefLocalMasterMirrorSiteFolder = "prefLocalMasterMirrorSiteFolder";
inline constexpr const char* sUserLoginName = "userLoginName";
inline constexpr const char* sUserLoginPassword = "userLoginPassword";
inline constexpr const char* sUserEnteredEventName = "userEnteredEventName";
inline constexpr const char* sPrefUseEventName = "prefUseEventName";
inline constexpr const char* sPrefCreateEncapsulatingFolder = "prefCreateEncapsulatingFolder";
inline constexpr const char* sPrefShowPreviewWhenUploading = "prefShowPreviewWhenUploading";
inline constexpr const char* sPrefDeleteEmptyFtpFolders = "prefDeleteEmptyFtpFolders";
inline constexpr const char* sPrefAutoSynchronize = "prefAutoSynchronize";
inline constexpr const char* sPrefSecondsBetweenScans = "prefSecondsBetweenScans";
inline constexpr const char* sPrefDoUseDeleteOldPhotos = "prefDoUseDeleteOldPhotos";
inline constexpr const char* sPrefDaysOldBeforeDeleting = "prefDaysOldBeforeDeleting";
inline constexpr const char* sPrefShowWindowAtStartup = "prefShowWindowAtStartup";
inline constexpr const char* sPrefAutoQuitAndRelaunchPerIteration =
    "prefAutoQuitAndRelaunchPerIteration";
inline constexpr const char* sPrefDeleteServerItemFirst = "prefDeleteServerItemFirst";
inline constexpr const char* sPrefAutoStartUploadAtStartup = "prefAutoStartUploadAtStartup";
inline constexpr const char* sPrefDoCopyOldFtpPref = "prefDoCopyOldFtpPref";
inline constexpr const char* sPrefKivFuseAction = "prefKivFuseAction";
inline constexpr const char* sPrefKivURL = "prefKivURL";
inline constexpr const char* sPrefMetaData = "prefMetaData";
inline constexpr const char* sPrefFormBaseIdFromFileName = "prefFormBaseIdFromFileName";
inline constexpr const char* sPrefUploadMovie = "prefUploadMovie";
inline constexpr const char* sPrefUploadTimeOut = "prefUploadTimeOut";
// Beyond the original set: photos in flight at once, and the most bytes a second all uploads
// together may send (0: no cap).
inline constexpr const char* sPrefConcurrentUploads = "prefConcurrentUploads";
inline constexpr const char* sPrefMaxUploadBytesPerSecond = "prefMaxUploadBytesPerSecond";
// Desktop notifications of the windowed program for what needs a person.
inline constexpr const char* sPrefShowDesktopNotifications = "prefShowDesktopNotifications";
inline constexpr const char* sPrefDoCheckOrders = "prefDoCheckOrders";
inline constexpr const char* sPrefMinutesForCheckOrders = "prefMinutesForCheckOrders";
inline constexpr const char* sPrefCheckHiResOrderFuseAction = "prefCheckHiResOrderFuseAction";
inline constexpr const char* sPrefUploadHiResOrderFuseAction = "prefUploadHiResOrderFuseAction";
inline constexpr const char* sPrefKivHiResAlternatePath1 = "prefKivHiResAlternatePath1";
inline constexpr const char* sPrefSearchPathMethodTag = "prefSearchPathMethodTag";
inline constexpr const char* sPrefAllowRootVolumeSelections = "prefAllowRootVolumeSelections";
inline constexpr const char* sPrefDaysToSaveLogs = "prefDaysToSaveLogs";
inline constexpr const char* sPrefIsValidLocalSourceUploadFolder =
    "prefIsValidLocalSourceUploadFolder";
inline constexpr const char* sPrefIsValidLocalMasterMirrorSiteFolder =
    "prefIsValidLocalMasterMirrorSiteFolder";
inline constexpr const char* sPrefIsValidKivHiResAlternatePath1 =
    "prefIsValidKivHiResAlternatePath1";

// The ordered 18-key list: the unit of factory seeding of the panels, of the import of older
// preferences and of saving and loading preference files. Built once, on first use.
const std::vector<std::string>& prefKeyNameArray();
const std::vector<std::string>& initPrefKeyNameArray();

// Every key above, in the order of the key table.
const std::vector<std::string>& allPreferenceKeyNames();

}  // namespace vorn
