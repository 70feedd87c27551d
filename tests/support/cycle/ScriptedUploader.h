#pragma once
// A stand-in for the photo uploader: observes the same four notifications, answers each upload
// with the next scripted reply instead of talking to a service, and gives the verdict.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Value.h"

namespace vorn::test {

class ScriptedUploader {
  public:
    // Registers its observers: after the controller's, as the real uploader does.
    explicit ScriptedUploader(NotificationCenter& center);
    ~ScriptedUploader();

    // Reply keys (httpStatusCode, httpOurCustomStatus, ...) for the next uploads, in order.
    // When the script runs out, uploads answer status "OK", code 200.
    void script(std::vector<Dictionary> replies);
    // Called on the scan thread in the middle of each upload, with the item record.
    void onUpload(std::function<void(const Dictionary& item)> hook);

    // The localItem of every upload, in order.
    std::vector<std::string> uploadedItems() const;
    // Every result record posted, to check that the cycle emptied them.
    std::vector<DictionaryPtr> resultRecords() const;

  private:
    void handleUploadStart(const Notification& note);
    void handleUploadDone(const Notification& note);

    NotificationCenter& center_;
    mutable std::mutex mutex_;
    std::deque<Dictionary> replies_;
    std::function<void(const Dictionary&)> hook_;
    std::vector<std::string> uploaded_;
    std::vector<DictionaryPtr> results_;
};

}  // namespace vorn::test
