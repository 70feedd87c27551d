#pragma once
// Names of the notifications that drive the upload cycle.

namespace vorn {

inline constexpr const char* kScanFolderNotification = "ScanFolderNotification";
inline constexpr const char* kPrepareUploadStartNotification = "PrepareUploadStartNotification";
inline constexpr const char* kUploadStartNotification = "UploadStartNotification";
inline constexpr const char* kUploadDoneNotification = "UploadDoneNotification";
inline constexpr const char* kUploadSuccessNotification = "UploadSuccessNotification";
inline constexpr const char* kUploadFailNotification = "UploadFailNotification";
inline constexpr const char* kCleanUpAfterUploadNotification = "CleanUpAfterUploadNotification";
inline constexpr const char* kCleanUpAfterCompleteLoop = "CleanUpAfterCompleteLoop";
inline constexpr const char* kUploadProcessPaused = "UploadProcessPaused";
inline constexpr const char* kWatcherStarted = "WatcherStarted";
inline constexpr const char* kWatcherItemChanged = "WatcherItemChanged";

}  // namespace vorn
