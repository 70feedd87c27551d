#pragma once
// Names of the notifications that drive the upload cycle. Posting is synchronous: observers run
// on the posting thread, in the order they registered, before the post returns. The controller
// (AppController) registers at start-up; the uploader (HttpController) after it, which its
// constructor checks when given the controller as Options::runsAfter.
//
// notification                    posted by (on which thread)
//   -> its observers, in order
//
// ScanFolderNotification          the pass opener (its caller's)
//   -> controller: starts a scan thread
// PrepareUploadStartNotification  the scan, with the item record (scan thread)
//   -> controller: drops the item while one is in flight or a pause holds; else UploadStart
// UploadStartNotification         the controller (scan thread)
//   -> 1. controller: marks the upload begun  2. uploader: sends it, posts UploadDone
// UploadDoneNotification          the uploader, with the result record (scan thread)
//   -> 1. controller: stops the progress bar  2. uploader: the verdict, posts Success or Fail
// UploadSuccessNotification       the uploader's verdict (scan thread)
//   -> 1. controller: files into the mirror, posts CleanUpAfterUpload  2. uploader: logs
// UploadFailNotification          the uploader's verdict (scan thread)
//   -> 1. controller: sets aside, leaves or stops; CleanUpAfterUpload unless it stops
//      2. uploader: logs
// CleanUpAfterUploadNotification  the controller's Success and Fail handlers (scan thread)
//   -> controller: ends the upload; holds the pause or opens the next pass
// CleanUpAfterCompleteLoop        the scan that found nothing (scan thread)
//   -> controller: ends the upload
// UploadProcessPaused             the wait for a pause (its own thread)
//   -> controller: opens the preferences panel on the main thread
// WatcherStarted                  the folder watcher (watcher thread)
//   -> controller: logs where it watches
// WatcherItemChanged              the folder watcher (watcher thread)
//   -> controller: opens a pass

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
