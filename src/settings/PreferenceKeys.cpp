#include "settings/PreferenceKeys.h"

namespace vorn {

const std::vector<std::string>& initPrefKeyNameArray() {
    // A function-local static: built once, safely, whichever thread asks first.
    static const std::vector<std::string> keys{
        sPrefLocalMasterMirrorSiteFolder,
        sPrefLocalSourceUploadFolder,
        sUserLoginName,
        sUserLoginPassword,
        sPrefCreateEncapsulatingFolder,
        sPrefShowPreviewWhenUploading,
        sPrefDeleteEmptyFtpFolders,
        sPrefUseEventName,
        sUserEnteredEventName,
        sPrefAutoSynchronize,
        sPrefSecondsBetweenScans,
        sPrefDoUseDeleteOldPhotos,
        sPrefDaysOldBeforeDeleting,
        sPrefShowWindowAtStartup,
        sPrefAutoQuitAndRelaunchPerIteration,
        sPrefDeleteServerItemFirst,
        sPrefAutoStartUploadAtStartup,
        sPrefDoCopyOldFtpPref,
    };
    return keys;
}

const std::vector<std::string>& prefKeyNameArray() {
    return initPrefKeyNameArray();
}

const std::vector<std::string>& allPreferenceKeyNames() {
    static const std::vector<std::string> keys{
        sPrefLocalSourceUploadFolder,
        sPrefLocalMasterMirrorSiteFolder,
        sUserLoginName,
        sUserLoginPassword,
        sUserEnteredEventName,
        sPrefUseEventName,
        sPrefCreateEncapsulatingFolder,
        sPrefShowPreviewWhenUploading,
        sPrefDeleteEmptyFtpFolders,
        sPrefAutoSynchronize,
        sPrefSecondsBetweenScans,
        sPrefDoUseDeleteOldPhotos,
        sPrefDaysOldBeforeDeleting,
        sPrefShowWindowAtStartup,
        sPrefAutoQuitAndRelaunchPerIteration,
        sPrefDeleteServerItemFirst,
        sPrefAutoStartUploadAtStartup,
        sPrefDoCopyOldFtpPref,
        sPrefKivFuseAction,
        sPrefKivURL,
        sPrefMetaData,
        sPrefFormBaseIdFromFileName,
        sPrefUploadMovie,
        sPrefUploadTimeOut,
        sPrefConcurrentUploads,
        sPrefMaxUploadBytesPerSecond,
        sPrefShowDesktopNotifications,
        sPrefDoCheckOrders,
        sPrefMinutesForCheckOrders,
        sPrefCheckHiResOrderFuseAction,
        sPrefUploadHiResOrderFuseAction,
        sPrefKivHiResAlternatePath1,
        sPrefSearchPathMethodTag,
        sPrefAllowRootVolumeSelections,
        sPrefDaysToSaveLogs,
        sPrefIsValidLocalSourceUploadFolder,
        sPrefIsValidLocalMasterMirrorSiteFolder,
        sPrefIsValidKivHiResAlternatePath1,
    };
    return keys;
}

}  // namespace vorn
