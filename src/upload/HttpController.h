#pragma once
// The photo uploader: sends one item as a multipart/form-data POST to the service's upload
// form on the calling (scan) thread, reads the status word and message of the XML reply, posts
// the result record with "UploadDoneNotification", and gives the verdict that turns it into
// "UploadSuccessNotification" or "UploadFailNotification". Driven only by notifications.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/Value.h"
#include "upload/HttpDebugCopies.h"
#include "upload/HttpExchange.h"
#include "upload/MultipartBody.h"
#include "upload/UserInterface.h"

namespace vorn {

inline constexpr const char* kPostBodyDataFileName = "postBodyData.txt";
inline constexpr const char* kPostBodyDataWithImageFileName = "postBodyDataWithImage.txt";
// httpError descriptions of exchanges that did not deliver the item as it is now.
inline constexpr const char* kCannotReadFileError = "cannot read file";
inline constexpr const char* kFileChangedError = "file changed during upload";
inline constexpr const char* kUploadCancelledError = "Upload cancelled";

class HttpController {
  public:
    struct Options {
        // Where postBodyData.txt and postBodyDataWithImage.txt go; empty: the log directory.
        std::string debugCopyFolder;
        std::chrono::seconds connectTimeout{60};
        std::chrono::seconds idleTimeout{60};
        // The observer (the controller) whose UploadStart and UploadDone handlers must run
        // before the uploader's: it marks the upload begun before the upload runs inside the
        // post, and its UploadDone handler runs before the verdict files the item. Null when
        // the uploader runs alone.
        const void* runsAfter = nullptr;
    };

    // Registers the four observers (UploadStart, UploadDone, UploadSuccess, UploadFail) on
    // center; observers run in the order they registered. Throws std::logic_error when
    // options.runsAfter does not observe UploadStart and UploadDone yet. mainThread carries
    // the watchdog timer; without one, uploads run unguarded.
    HttpController(NotificationCenter& center, MainThread* mainThread);
    HttpController(NotificationCenter& center, MainThread* mainThread, Options options);
    ~HttpController();
    HttpController(const HttpController&) = delete;
    HttpController& operator=(const HttpController&) = delete;

    // Called on the main thread when an upload outlasts getUploadTimeOut() seconds; the
    // relaunch hangs here. Default: a log line.
    void setOnWatchdogFired(std::function<void()> hook);

    // Where the transfer progress of each upload is shown; none by default. Set before the
    // first upload.
    void setUserInterface(UserInterface* ui) { ui_ = ui; }

    // Aborts the upload in flight (its item stays where it is) and refuses later ones until
    // resetCancel(). Safe from any thread; the exchange notices within a second.
    void cancel();
    void resetCancel();
    bool isCancelled() const { return cancelled_.load(); }

    void handleNotification_UploadStart(const Notification& note);
    void doRunHttpUploaderInThread(const Notification& note);
    // Uploads the item record and posts "UploadDoneNotification" with the result record; empties
    // the item record once that post returns. False only without a record (nothing posted).
    bool doRunHttpUploaderWithInfo(const DictionaryPtr& record);
    // The verdict.
    void handleNotification_UploadDone(const Notification& note);
    void handleNotification_UploadSuccess(const Notification& note);
    void handleNotification_UploadFail(const Notification& note);
    void uploadTimerFired();

    // Waits until the debug copies of the uploads so far are on disk; they are written on a
    // thread of their own while the upload goes on.
    void waitForDebugCopies();

    // The form of an item record, without the closing line. beforePhoto receives the form up
    // to the photo's bytes, withImage the form up to the closing line (the two debug copies).
    // False when the photo or the movie cannot be read; the body then lacks those bytes.
    static bool buildUploadBody(const Dictionary& record, bool uploadMovie, MultipartBody& body,
                                BodySnapshot* beforePhoto = nullptr,
                                BodySnapshot* withImage = nullptr);

  private:
    struct Shared;
    TimerPtr armWatchdog();

    NotificationCenter& center_;
    MainThread* mainThread_;
    UserInterface* ui_ = nullptr;
    Options options_;
    std::atomic<bool> cancelled_{false};
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<HttpDebugCopyWriter> debugCopies_;
    // Kept across uploads: the next upload reuses the connection and TLS session.
    HttpSession session_;
};

}  // namespace vorn
