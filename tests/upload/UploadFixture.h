#pragma once
// Shared set-up of the uploader tests: a preferences store in a temporary folder, a
// notification centre with the real HttpController, a recorder of what the uploader posts, and
// a raw loopback server as the service.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "RawHttpServer.h"
#include "platform/NotificationCenter.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/TempDir.h"
#include "upload/HttpController.h"
#include "upload/NotificationNames.h"
#include "upload/Records.h"

namespace vorn::test {

// What the uploader posted for one upload.
struct Posted {
    std::vector<std::string> names;  // notifications in the order they were seen
    DictionaryPtr result;            // userInfo of UploadDone
    Dictionary resultAtDone;         // its contents while UploadDone ran
    bool succeeded = false;
};

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        photos = tmp / "Upload";
        logs = tmp / "logs";
        std::filesystem::create_directories(photos / "Smith");
        std::filesystem::create_directories(logs);
        store = std::make_shared<PreferencesStore>((tmp / "prefs.plist").string());
        Preferences::setStore(store);
        store->setObject(sPrefKivURL, server.url());
        // Observers that stand where the controller's are: registered first.
        for (const char* name : {kUploadStartNotification, kUploadDoneNotification,
                                 kUploadSuccessNotification, kUploadFailNotification}) {
            center.addObserver(this, name, [this](const Notification& n) { seen(n); });
        }
        HttpController::Options options;
        options.debugCopyFolder = logs.string();
        uploader = std::make_unique<HttpController>(center, mainThread(), options);
    }

    void TearDown() override {
        uploader.reset();
        center.removeObserver(this);
    }

    virtual MainThread* mainThread() { return nullptr; }

    // The record the scan would build for photo (a path under photos).
    DictionaryPtr record(const std::string& rel) const {
        return makeRecord({{cDictKeyLocalSourceUploadFolder, photos.string()},
                           {cDictKeyLocalMirrorFolder, (tmp / "Mirror").string()},
                           {cDictKeyCurItem, rel},
                           {cDictKeyUserEnteredEventName, "Prom 2026"},
                           {edUser, "photog"},
                           {edPasswd, "s3cr\"et pw"},
                           {edFileName, (photos / rel).string()},
                           {edClientName, "Smith"},
                           {edEventName, "Prom 2026"},
                           {edMetaData, ""},
                           {edCaptureTime, "2026-05-01 10:11:12"},
                           {edKivFuseAction, "upload.upload"}});
    }

    // Posts UploadStart with the record, as the controller does, and answers what followed.
    Posted upload(const DictionaryPtr& item) {
        {
            std::lock_guard lock(mutex_);
            posted_ = Posted{};
        }
        center.post(kUploadStartNotification, this, item);
        std::lock_guard lock(mutex_);
        return posted_;
    }

    RawHttpServer server;
    TempDir tmp;
    std::filesystem::path photos, logs;
    std::shared_ptr<PreferencesStore> store;
    NotificationCenter center;
    std::unique_ptr<HttpController> uploader;

  private:
    void seen(const Notification& n) {
        std::lock_guard lock(mutex_);
        posted_.names.push_back(n.name);
        if (n.name == kUploadDoneNotification) {
            EXPECT_EQ(n.object, uploader.get());
            posted_.result = n.userInfo;
            if (n.userInfo) posted_.resultAtDone = *n.userInfo;
        }
        if (n.name == kUploadSuccessNotification) posted_.succeeded = true;
        if (n.name == kUploadSuccessNotification || n.name == kUploadFailNotification) {
            EXPECT_EQ(n.object, uploader.get());
            EXPECT_EQ(n.userInfo, posted_.result) << "the verdict passes the same record on";
        }
    }

    std::mutex mutex_;
    Posted posted_;
};

inline std::string errorOf(const Dictionary& d) {
    auto it = d.find(httpError);
    return it == d.end() ? std::string() : errorDescription(it->second);
}

}  // namespace vorn::test
