#include "upload/HttpController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <mutex>
#include <stdexcept>

#include "log/KDLogFileManager.h"
#include "platform/Interval.h"
#include "platform/OpenWithoutLinks.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "upload/HttpExchange.h"
#include "upload/HttpReply.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn {

namespace {

constexpr const char* kClass = "HttpController";

std::string text(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    return it == d.end() ? std::string() : it->second.stringValue();
}

std::optional<std::string> optionalText(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || it->second.isNone()) return std::nullopt;
    return it->second.stringValue();
}

const Dictionary* optionalDictionary(const Dictionary& d, const char* key) {
    auto it = d.find(key);
    return it == d.end() ? nullptr : it->second.asDictionary();
}

// The photo's name as the user knows it: its path below the source folder.
std::string nameBelowSource(const std::string& path) {
    std::string root = Preferences::getLocalSourceUploadFolder().value_or("");
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (!root.empty() && path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
        path[root.size()] == '/')
        return path.substr(root.size() + 1);
    return lastPathComponent(path);
}

// Hands libcurl's progress to the interface, at most four times a second; once the last byte
// is out, once a second with how long the service has been thinking (libcurl calls on about
// once a second while it waits).
std::function<void(std::uint64_t, std::uint64_t)> progressReporter(const Dictionary& r,
                                                                   UserInterface& ui) {
    using Steady = std::chrono::steady_clock;
    struct State {
        std::string name;
        Steady::time_point start = Steady::now();
        Steady::time_point last{};
        std::optional<Steady::time_point> allSent;  // when the last byte went out
    };
    auto state = std::make_shared<State>();
    state->name = nameBelowSource(text(r, edFileName));
    return [state, &ui](std::uint64_t sent, std::uint64_t total) {
        const auto now = Steady::now();
        const bool done = total != 0 && sent >= total;
        if (!done) {
            state->allSent.reset();  // sent again from the start (a kept connection had closed)
        } else if (!state->allSent) {
            state->allSent = now;
            state->last = {};  // the moment it is all out is worth a report
        }
        const auto every = done ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(250);
        if (now - state->last < every) return;
        state->last = now;
        TransferProgress p;
        p.name = state->name;
        p.bytesSent = sent;
        p.bytesTotal = total;
        const auto until = state->allSent.value_or(now);
        const double seconds = std::chrono::duration<double>(until - state->start).count();
        if (seconds > 0) p.bytesPerSecond = static_cast<double>(sent) / seconds;
        if (p.bytesPerSecond > 0 && total >= sent)
            p.secondsLeft = static_cast<double>(total - sent) / p.bytesPerSecond;
        if (state->allSent)
            p.secondsWaitingForReply = std::chrono::duration<double>(now - *state->allSent).count();
        ui.showTransferProgress(p);
    };
}

// What the service answered, into the result record: status code, headers, the reply and the
// status word and message read from it.
void recordReply(const HttpExchangeResult& exchange, const std::string& fileName, Dictionary& d) {
    if (exchange.statusCode) {
        d[httpStatusCode] = static_cast<std::int64_t>(*exchange.statusCode);
        d[httpResponse] = exchange.response;
    }
    if (exchange.error) {
        platformLog("Upload of [%s] failed: %s", fileName.c_str(), exchange.error->c_str());
        d[httpError] = makeErrorValue(*exchange.error);
    }
    if (exchange.replyTooLarge) {
        d[httpOurCustomStatus] = kStatusFail;
        d[httpOurCustomMessage] = kReplyTooLargeMessage;
        d[httpReplyUnreadable] = true;
    }
    if (!exchange.replyBody) return;
    const std::string& reply = *exchange.replyBody;
    d[httpReturnData] = Data(reply.begin(), reply.end());
    std::optional<std::string> decoded = decodeMacRoman(reply);
    if (!decoded) return;
    std::string parseError;
    if (std::optional<ServiceReply> parsed = readPositionalReply(*decoded, &parseError)) {
        d[httpOurCustomStatus] = parsed->status;
        d[httpOurCustomMessage] = parsed->message;
    } else {
        // Read as a FAIL, marked so the cycle can say the reply was unreadable.
        d[httpOurCustomStatus] = kStatusFail;
        d[httpOurCustomMessage] =
            parseError.empty() ? std::string(kNotEnoughDataMessage) : parseError;
        d[httpReplyUnreadable] = true;
    }
}

// Opens a photo or movie as the scan judged it: a plain file without following a link swapped
// in since; a link only when it still leads inside the source folder, checked on what was
// opened. -1 otherwise.
int openSourceFile(const std::string& path, const std::string& root) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    // Non-blocking: a FIFO in the photo's place cannot hang the open.
    if (!S_ISLNK(st.st_mode))
        return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    char resolved[PATH_MAX], rootResolved[PATH_MAX];
    if (root.empty() || !::realpath(path.c_str(), resolved) ||
        !::realpath(root.c_str(), rootResolved))
        return -1;
    const std::string inside = std::string(rootResolved) + "/";
    if (std::string(resolved).compare(0, inside.size(), inside) != 0) {
        platformLog("[%s] leads outside the source folder; not sent", path.c_str());
        return -1;
    }
    return openWithoutLinks(resolved, O_RDONLY | O_NOCTTY | O_NONBLOCK);
}

}  // namespace

struct HttpController::Shared {
    std::mutex mutex;
    std::function<void()> onWatchdogFired;
};

HttpController::HttpController(NotificationCenter& center, MainThread* mainThread)
    : HttpController(center, mainThread, Options{}) {}

HttpController::HttpController(NotificationCenter& center, MainThread* mainThread, Options options)
    : center_(center),
      mainThread_(mainThread),
      options_(std::move(options)),
      shared_(std::make_shared<Shared>()),
      debugCopies_(std::make_unique<HttpDebugCopyWriter>()) {
    shared_->onWatchdogFired = [] { platformLog("Upload watchdog fired"); };
    if (const void* first = options_.runsAfter)
        for (const char* name : {kUploadStartNotification, kUploadDoneNotification})
            if (!center_.hasObserver(first, name))
                throw std::logic_error(std::string("HttpController registered before the "
                                                   "controller's observer of ") +
                                       name);
    center_.addObserver(this, kUploadStartNotification,
                        [this](const Notification& n) { handleNotification_UploadStart(n); });
    center_.addObserver(this, kUploadDoneNotification,
                        [this](const Notification& n) { handleNotification_UploadDone(n); });
    center_.addObserver(this, kUploadSuccessNotification,
                        [this](const Notification& n) { handleNotification_UploadSuccess(n); });
    center_.addObserver(this, kUploadFailNotification,
                        [this](const Notification& n) { handleNotification_UploadFail(n); });
}

HttpController::~HttpController() {
    center_.removeObserver(this);
}

void HttpController::setOnWatchdogFired(std::function<void()> hook) {
    std::lock_guard lock(shared_->mutex);
    shared_->onWatchdogFired = std::move(hook);
}

void HttpController::cancel() {
    cancelled_.store(true);
}
void HttpController::resetCancel() {
    cancelled_.store(false);
}

std::unique_ptr<HttpSession> HttpController::takeSession() {
    std::lock_guard lock(sessionsMutex_);
    if (idleSessions_.empty()) return std::make_unique<HttpSession>();
    std::unique_ptr<HttpSession> session = std::move(idleSessions_.back());
    idleSessions_.pop_back();
    return session;
}

void HttpController::giveBackSession(std::unique_ptr<HttpSession> session) {
    std::lock_guard lock(sessionsMutex_);
    idleSessions_.push_back(std::move(session));
}

void HttpController::waitForDebugCopies() {
    debugCopies_->flush();
}

void HttpController::handleNotification_UploadStart(const Notification& note) {
    VORN_TRACE(kClass, "handleNotification_UploadStart");
    doRunHttpUploaderInThread(note);
}

void HttpController::doRunHttpUploaderInThread(const Notification& note) {
    if (!note.userInfo) {
        platformLog("Passed NO Info to %s => %s...", kClass, "doRunHttpUploaderInThread");
        return;
    }
    doRunHttpUploaderWithInfo(note.userInfo);
}

bool HttpController::buildUploadBody(const Dictionary& r, bool uploadMovie, MultipartBody& body,
                                     BodySnapshot* beforePhoto, BodySnapshot* withImage) {
    const std::string fileName = text(r, edFileName);
    const Dictionary* sitting = optionalDictionary(r, edSittingInfoDictionary);
    const Dictionary* radudiv = optionalDictionary(r, edRadudivInfo);
    if (!sitting) {
        std::optional<std::string> fuse = Preferences::getKivFuseAction();
        if (fuse && equalsIgnoringCase(*fuse, "upload.rurizururiz"))
            platformLog("The fuse action %s needs sitting details; uploading [%s] without them",
                        fuse->c_str(), fileName.c_str());
    }

    body.addField("username", text(r, edUser));
    body.addField("password", text(r, edPasswd), /*secret=*/true);
    body.addField("event", text(r, edEventName));
    body.addField("client", text(r, edClientName));
    body.addField("capturetime", text(r, edCaptureTime));
    if (auto v = optionalText(r, edMetaData)) body.addField("metadata", *v);
    body.addField("fuseaction", text(r, edKivFuseAction));
    if (auto v = optionalText(r, edEmails)) body.addField("emails", *v);
    if (auto v = optionalText(r, edOriginalPath)) body.addField("localfilelocation", *v);
    if (radudiv) {
        if (auto v = optionalText(*radudiv, "email")) body.addField("email", *v);
        if (auto v = optionalText(*radudiv, "mobile")) body.addField("phone", *v);
    }
    if (sitting) {
        static const std::pair<const char*, const char*> kSittingFields[] = {
            {"bgloc", "bglocation"},
            {"firstname", "firstname"},
            {"lastname", "lastname"},
            {"zip", "zip"},
            {"age", "age"},
            {"email", "email"},
            {"sittingid", "sittingid"}};
        for (const auto& [entry, field] : kSittingFields)
            if (auto v = optionalText(*sitting, entry)) body.addField(field, *v);
    }
    body.addField("Submit", "Upload");

    body.addFileHeader("imgfile", fileName, contentTypeForExtension(pathExtension(fileName)));
    if (beforePhoto) *beforePhoto = body.snapshot();

    const std::string root = text(r, cDictKeyLocalSourceUploadFolder);
    bool readable =
        !fileName.empty() && body.attachOpenFile(openSourceFile(fileName, root), fileName);
    if (!readable)
        platformLog("Error in Reading the Contents of file at path:\n%s\n\n", fileName.c_str());

    if (uploadMovie && !fileName.empty()) {
        std::string movie = deletingPathExtension(fileName) + ".mov";
        if (::access(movie.c_str(), F_OK) == 0) {
            body.addFileHeader("vidfile", movie, "video/quicktime");
            if (!body.attachOpenFile(openSourceFile(movie, root), movie)) {
                platformLog("Error in Reading the Contents of MOVIE file at path:\n%s\n\n",
                            movie.c_str());
                readable = false;
            }
        }
    }
    if (withImage) *withImage = body.snapshot();
    return readable;
}

TimerPtr HttpController::armWatchdog() {
    if (!mainThread_) {
        platformLog("No main thread for the upload watchdog; uploading without it");
        return nullptr;
    }
    const std::chrono::milliseconds interval =
        intervalFromSeconds(static_cast<double>(Preferences::getUploadTimeOut()), 500, 0.001,
                            Preferences::kLongestUploadTimeOut);
    std::weak_ptr<Shared> weak = shared_;
    // The timer may outlive this object only if it is destroyed mid-upload; the weak reference
    // keeps a late firing harmless.
    TimerPtr timer = mainThread_->scheduleTimer(interval, false, [this, weak] {
        if (auto alive = weak.lock()) uploadTimerFired();
    });
    if (!timer) platformLog("Cannot arm the upload watchdog; uploading without it");
    return timer;
}

void HttpController::uploadTimerFired() {
    const char* line = "==================================================";
    platformLog("Inside %s => %s...%s", kClass, "uploadTimerFired", line);
    logAt(LogLevel::Warn, "Inside %s => %s.....Taking too long to upload - need to relaunch....",
          kClass, "uploadTimerFired");
    platformLog("Inside %s => %s...%s", kClass, "uploadTimerFired", line);
    std::function<void()> hook;
    {
        std::lock_guard lock(shared_->mutex);
        hook = shared_->onWatchdogFired;
    }
    if (hook) hook();
}

bool HttpController::doRunHttpUploaderWithInfo(const DictionaryPtr& record) {
    VORN_TRACE(kClass, "doRunHttpUploaderWithInfo");
    if (!record) {
        platformLog("Passed NIL Info to %s => %s...", kClass, "doRunHttpUploaderWithInfo");
        return false;
    }
    const Dictionary& r = *record;
    // The copies hold the guests' details: written only when the log keeps every trace.
    std::string debugFolder =
        options_.debugCopyFolder.empty()
            ? (logLevel() >= LogLevel::Debug ? KDLogFileManager::logDirectory() : std::string())
            : options_.debugCopyFolder;
    bool uploadMovie = Preferences::store().boolForKey(sPrefUploadMovie);

    MultipartBody body;
    BodySnapshot beforePhoto, withImage;
    bool readable = buildUploadBody(r, uploadMovie, body, &beforePhoto, &withImage);
    if (!debugFolder.empty()) {
        debugCopies_->submit(appendingPathComponent(debugFolder, kPostBodyDataFileName),
                             std::move(beforePhoto));
        // Skipped while the previous one is still being written: copies of photos never pile
        // up behind a slow disk.
        debugCopies_->submit(appendingPathComponent(debugFolder, kPostBodyDataWithImageFileName),
                             std::move(withImage), true);
    }
    DictionaryPtr result = makeResultRecord(r);
    Dictionary& d = *result;
    std::optional<std::string> url = Preferences::getPrefKivURL();

    if (!readable) {
        // Nothing was sent, so nothing may be filed as uploaded.
        d[httpError] = makeErrorValue(kCannotReadFileError);
    } else if (cancelled_.load()) {
        d[httpError] = makeErrorValue(kUploadCancelledError);
    } else if (!url || url->empty()) {
        platformLog("No upload address (%s) is set", sPrefKivURL);
        d[httpError] = makeErrorValue("unsupported URL");
    } else {
        body.close();
        HttpExchangeOptions exchangeOptions;
        exchangeOptions.connectTimeout = options_.connectTimeout;
        exchangeOptions.idleTimeout = options_.idleTimeout;
        exchangeOptions.cancel = &cancelled_;
        if (ui_) exchangeOptions.onProgress = progressReporter(r, *ui_);
        exchangeOptions.onResend =
            [this, name = nameBelowSource(text(r, edFileName))](const std::string& why) {
                logAt(LogLevel::Info, "Sending %s again: %s", name.c_str(), why.c_str());
                if (ui_) ui_->noteResend(name);
            };

        TimerPtr watchdog = armWatchdog();
        limiter_.setBytesPerSecond(Preferences::getMaxUploadBytesPerSecond());
        exchangeOptions.limiter = &limiter_;
        std::unique_ptr<HttpSession> session = takeSession();
        HttpExchangeResult exchange = postMultipart(*url, body, exchangeOptions, session.get());
        giveBackSession(std::move(session));
        if (ui_) ui_->showTransferEnded(nameBelowSource(text(r, edFileName)));
        if (watchdog && watchdog->isValid()) watchdog->invalidate();

        if (exchange.bodyFailure != MultipartBody::ReadFailure::None || !body.filesUnchanged()) {
            // What went out is not the item as it is now: it stays and goes again.
            platformLog("[%s] changed or could not be read while it was sent (status %ld)",
                        text(r, edFileName).c_str(), exchange.statusCode.value_or(0));
            d[httpError] = makeErrorValue(
                exchange.bodyFailure == MultipartBody::ReadFailure::ReadError ? kCannotReadFileError
                                                                              : kFileChangedError);
        } else {
            // What filing checks the photo against: a touch since is no change.
            if (std::optional<SentVersion> sent = body.sentVersion(0))
                d[httpSentVersion] = sentVersionValue(*sent);
            recordReply(exchange, text(r, edFileName), d);
        }
    }

    center_.post(kUploadDoneNotification, this, result);
    record->clear();
    platformLog("EXITING  %s => %s...", kClass, "doRunHttpUploaderWithInfo");
    // The upload's lines, its outcome's included, are on disk before the next one begins.
    flushLog();
    return true;
}

void HttpController::handleNotification_UploadDone(const Notification& note) {
    VORN_TRACE(kClass, "handleNotification_UploadDone");
    if (!note.userInfo) return;
    center_.post(
        uploadSucceeded(*note.userInfo) ? kUploadSuccessNotification : kUploadFailNotification,
        this, note.userInfo);
}

void HttpController::handleNotification_UploadSuccess(const Notification&) {
    VORN_TRACE(kClass, "handleNotification_UploadSuccess");
}

void HttpController::handleNotification_UploadFail(const Notification&) {
    VORN_TRACE(kClass, "handleNotification_UploadFail");
}

}  // namespace vorn
