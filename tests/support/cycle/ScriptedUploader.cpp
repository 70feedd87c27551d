#include "support/cycle/ScriptedUploader.h"

#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn::test {

ScriptedUploader::ScriptedUploader(NotificationCenter& center) : center_(center) {
    center_.addObserver(this, kUploadStartNotification,
                        [this](const Notification& n) { handleUploadStart(n); });
    center_.addObserver(this, kUploadDoneNotification,
                        [this](const Notification& n) { handleUploadDone(n); });
    center_.addObserver(this, kUploadSuccessNotification, [](const Notification&) {});
    center_.addObserver(this, kUploadFailNotification, [](const Notification&) {});
}

ScriptedUploader::~ScriptedUploader() {
    center_.removeObserver(this);
}

void ScriptedUploader::script(std::vector<Dictionary> replies) {
    std::lock_guard lock(mutex_);
    replies_.assign(replies.begin(), replies.end());
}

void ScriptedUploader::onUpload(std::function<void(const Dictionary&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<std::string> ScriptedUploader::uploadedItems() const {
    std::lock_guard lock(mutex_);
    return uploaded_;
}

std::vector<DictionaryPtr> ScriptedUploader::resultRecords() const {
    std::lock_guard lock(mutex_);
    return results_;
}

void ScriptedUploader::handleUploadStart(const Notification& note) {
    if (!note.userInfo) return;
    Dictionary reply{{httpStatusCode, 200},
                     {httpOurCustomStatus, "OK"},
                     {httpOurCustomMessage, "Upload complete"}};
    std::function<void(const Dictionary&)> hook;
    {
        std::lock_guard lock(mutex_);
        if (!replies_.empty()) {
            reply = replies_.front();
            replies_.pop_front();
        }
        if (const std::string* item = stringForKey(*note.userInfo, cDictKeyCurItem))
            uploaded_.push_back(*item);
        hook = hook_;
    }
    if (hook) hook(*note.userInfo);
    DictionaryPtr result = makeResultRecord(*note.userInfo);
    for (auto& [k, v] : reply) (*result)[k] = v;
    {
        std::lock_guard lock(mutex_);
        results_.push_back(result);
    }
    center_.post(kUploadDoneNotification, this, result);
    note.userInfo->clear();
}

void ScriptedUploader::handleUploadDone(const Notification& note) {
    if (!note.userInfo) return;
    center_.post(
        uploadSucceeded(*note.userInfo) ? kUploadSuccessNotification : kUploadFailNotification,
        this, note.userInfo);
}

}  // namespace vorn::test
