#pragma once
// A stand-in for the photo uploader: observes the same four notifications, answers each upload
// with the next scripted reply instead of talking to a service, and gives the verdict.

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Value.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn::test {

class ScriptedUploader {
  public:
    // Called on the scan thread in the middle of each upload; a reply it gives goes first.
    using Hook = std::function<std::optional<Dictionary>(const Dictionary& item)>;

    // Registers its observers: after the controller's, as the real uploader does.
    explicit ScriptedUploader(NotificationCenter& center) : center_(center) {
        center_.addObserver(this, kUploadStartNotification,
                            [this](const Notification& n) { start(n); });
        center_.addObserver(this, kUploadDoneNotification, [this](const Notification& n) {
            if (n.userInfo)
                center_.post(uploadSucceeded(*n.userInfo) ? kUploadSuccessNotification
                                                          : kUploadFailNotification,
                             this, n.userInfo);
        });
    }
    ~ScriptedUploader() { center_.removeObserver(this); }

    // Reply keys (httpStatusCode, httpOurCustomStatus, ...) for the next uploads, in order.
    // When the script runs out, uploads answer status "OK", code 200.
    void script(std::vector<Dictionary> replies) {
        std::lock_guard lock(mutex_);
        replies_.assign(replies.begin(), replies.end());
    }
    void onUpload(Hook hook) {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    // The localItem of every upload, in order.
    std::vector<std::string> uploadedItems() const {
        std::lock_guard lock(mutex_);
        return uploaded_;
    }
    // Every result record posted, to check that the cycle emptied them.
    std::vector<DictionaryPtr> resultRecords() const {
        std::lock_guard lock(mutex_);
        return results_;
    }

  private:
    void start(const Notification& note) {
        if (!note.userInfo) return;
        Dictionary reply{{httpStatusCode, 200},
                         {httpOurCustomStatus, "OK"},
                         {httpOurCustomMessage, "Upload complete"}};
        Hook hook;
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
        if (hook)
            if (auto answer = hook(*note.userInfo)) reply = *answer;
        DictionaryPtr result = makeResultRecord(*note.userInfo);
        for (auto& [k, v] : reply) (*result)[k] = v;
        {
            std::lock_guard lock(mutex_);
            results_.push_back(result);
        }
        center_.post(kUploadDoneNotification, this, result);
        note.userInfo->clear();
    }

    NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::deque<Dictionary> replies_;
    Hook hook_;
    std::vector<std::string> uploaded_;
    std::vector<DictionaryPtr> results_;
};

}  // namespace vorn::test
