#include "files/CleanUp.h"
#include "files/LineMaintenanceWindow.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::writeFile;
using namespace std::chrono_literals;
using Tree = std::set<std::string>;
using Lines = std::vector<std::string>;

constexpr auto kDay = std::chrono::hours(24);
const std::string kJpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
const SystemTime kNow = std::chrono::sys_days(std::chrono::year(2026) / 6 / 1) + 12h;

// Stands in for IsValidImageObject, which lives in the metadata layer.
bool looksLikeImage(const std::string& path) {
    return test::readFile(path).rfind("\xFF\xD8\xFF", 0) == 0;
}

// The path, normalised and without a trailing "/".
std::string key(const fs::path& p) {
    return (p / "").lexically_normal().parent_path().string();
}

// Every entry below root, folders with a trailing "/".
Tree tree(const fs::path& root) {
    Tree out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = e.path().lexically_relative(root).string();
        out.insert(e.is_directory() && !e.is_symlink() ? rel + "/" : rel);
    }
    return out;
}

class CleanUp : public ::testing::Test {
  protected:
    // Keeps the window's showing and closing and hands its lines to the test.
    struct Window : LineMaintenanceWindow {
        explicit Window(CleanUp& f) : LineMaintenanceWindow(f.onLine_), f(f) {}
        void showWindow() override { f.window_.push_back("show"); }
        void close() override { f.window_.push_back("close"); }
        CleanUp& f;
    };

    void SetUp() override {
        Preferences::setStore(store_);
        store_->setObject(sPrefLocalSourceUploadFolder, Value(source().string()));
        store_->setObject(sPrefLocalMasterMirrorSiteFolder, Value(mirror().string()));
        store_->setObject(sPrefDoUseDeleteOldPhotos, Value("yes"));
        fs::create_directories(source());
        fs::create_directories(mirror());
    }
    void TearDown() override { Preferences::setStore(previous_); }

    fs::path source() const { return tmp_ / "Source"; }
    fs::path mirror() const { return tmp_ / "Mirror"; }

    // Linux cannot set a birth time, so the creation dates live in a table; the modification
    // time stands behind a zero creation date, as the file-date rule has it.
    void made(const fs::path& p, std::chrono::system_clock::duration age) {
        created_[key(p)] = kNow - age;
    }
    void folder(const fs::path& p, std::chrono::system_clock::duration age) {
        fs::create_directories(p);
        for (fs::path q = p; q != tmp_.path(); q = q.parent_path()) made(q, age);
    }
    void file(const fs::path& p, const std::string& content,
              std::chrono::system_clock::duration age) {
        writeFile(p, content);
        made(p, age);
    }
    FileDateSource dates() {
        return [this](const std::string& path) -> std::optional<SystemTime> {
            auto it = created_.find(key(path));
            return fileDateFromDates(
                it == created_.end() ? std::nullopt : std::optional<SystemTime>(it->second),
                fileModificationTime(path));
        };
    }
    CleanUpContext context() {
        return {.clock = clock_,
                .isImage = looksLikeImage,
                .fileDate = dates(),
                .newMaintenanceWindow = [this] { return std::make_unique<Window>(*this); },
                .settleDelay = 0ms};
    }

    test::TempDir tmp_;
    std::shared_ptr<PreferencesStore> previous_ = Preferences::sharedStore();
    std::shared_ptr<PreferencesStore> store_ =
        std::make_shared<PreferencesStore>((tmp_ / "prefs.plist").string());
    std::shared_ptr<FixedClock> clock_ = std::make_shared<FixedClock>(kNow);
    std::map<std::string, SystemTime> created_;
    Lines window_;
    std::function<void(const std::string&)> onLine_;
};

TEST_F(CleanUp, OldPhotosInTheMirrorFolder) {
    file(mirror() / "Prom/b_atCutoff.jpg", kJpeg, 30 * kDay);
    file(mirror() / "Prom/c_justOlder.jpg", kJpeg, 30 * kDay + 1s);
    file(mirror() / "Prom/Client/deep.jpg", kJpeg, 400 * kDay);
    for (const char* other : {"Prom/fake.jpg", "Prom/.hidden"})
        file(mirror() / other, "x", 5000 * kDay);
    // Zero creation dates (1904, 1970): aged by the modification time.
    for (auto [name, zero, modified] :
         {std::tuple{"old1904.jpg", -2082844800, 31}, {"new1970.jpg", 0, 1}}) {
        file(mirror() / "Zero" / name, kJpeg, 0s);
        created_[key(mirror() / "Zero" / name)] = SystemTime(std::chrono::seconds(zero));
        test::setModificationTime(mirror() / "Zero" / name, kNow - modified * kDay);
    }

    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    // Only images older than the limit; folders are the sweep's.
    EXPECT_EQ(tree(mirror()), (Tree{"Prom/", "Prom/.hidden", "Prom/Client/", "Prom/b_atCutoff.jpg",
                                    "Prom/fake.jpg", "Zero/", "Zero/new1970.jpg"}));
    EXPECT_EQ(window_, (Lines{"show", "close"}));
}

TEST_F(CleanUp, TheAgeLimitPreference) {
    const std::pair<Value, int> cases[] = {
        {Value(), 30},      {Value(12.9), 12}, {Value("7"), 7},
        {Value(0), 30},  // "0 days" would wipe the mirror folder at once
        {Value(0.5), 30},   {Value(-5), 30},   {Value(65535), 32767},  // not -1: not "all"
        {Value("abc"), 30},
    };
    for (const auto& [stored, days] : cases) {
        store_->removeObject(sPrefDaysOldBeforeDeleting);
        if (!stored.isNone()) store_->setObject(sPrefDaysOldBeforeDeleting, stored);
        EXPECT_EQ(daysOldBeforeDeleting(), days) << stored.stringValue();
    }
    // End to end: 1 deletes a two-day-old photo.
    file(mirror() / "Prom/recent.jpg", kJpeg, 2 * kDay);
    store_->setObject(sPrefDaysOldBeforeDeleting, Value(1));
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_FALSE(fs::exists(mirror() / "Prom/recent.jpg"));
}

TEST_F(CleanUp, TheCleanUpThreadOnAndOff) {
    file(mirror() / "Prom/old.jpg", kJpeg, 40 * kDay);
    file(mirror() / "Prom/new.jpg", kJpeg, 1 * kDay);
    file(mirror() / "Gala/old.jpg", kJpeg, 40 * kDay);  // Gala empties
    folder(mirror() / "a/b", 0s);                       // young, and still deleted
    file(mirror() / "c/.DS_Store", "finder", 0s);
    const Tree planted = tree(mirror());

    store_->setObject(sPrefDoUseDeleteOldPhotos, Value("no"));
    doSetupDeleteOldPhotosThread(context());
    EXPECT_EQ(tree(mirror()), planted);
    EXPECT_TRUE(window_.empty());

    store_->setObject(sPrefDoUseDeleteOldPhotos, Value("yes"));
    doSetupDeleteOldPhotosThread(context());
    EXPECT_EQ(tree(mirror()), (Tree{"Prom/", "Prom/new.jpg", "a/"}));  // a/ at the next launch
    doSetupDeleteOldPhotosThread(context());
    EXPECT_EQ(tree(mirror()), (Tree{"Prom/", "Prom/new.jpg"}));
}

TEST_F(CleanUp, OnlyUploadedPhotosInsideTheMirrorFolderAreDeleted) {
    // The source folder inside the mirror folder: its photos wait for their upload.
    store_->setObject(sPrefLocalSourceUploadFolder, Value((mirror() / "Incoming").string()));
    file(mirror() / "Incoming/Prom/waiting.jpg", kJpeg, 100 * kDay);
    file(mirror() / "Prom/uploaded.jpg", kJpeg, 100 * kDay);
    // Links are not followed out of the mirror folder.
    file(tmp_ / "Elsewhere/keep.jpg", kJpeg, 100 * kDay);
    fs::create_directory_symlink(tmp_ / "Elsewhere", mirror() / "Linked");
    fs::create_symlink(tmp_ / "Elsewhere/keep.jpg", mirror() / "keep-link.jpg");
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_EQ(tree(mirror()), (Tree{"Incoming/", "Incoming/Prom/", "Incoming/Prom/waiting.jpg",
                                    "Prom/", "Linked", "keep-link.jpg"}));
    EXPECT_TRUE(fs::exists(tmp_ / "Elsewhere/keep.jpg"));

    // The same folder for both, also when named through a link.
    fs::create_directory_symlink(mirror(), tmp_ / "link");
    store_->setObject(sPrefLocalSourceUploadFolder, Value((tmp_ / "link").string()));
    file(mirror() / "Prom/waiting.jpg", kJpeg, 100 * kDay);
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_TRUE(fs::exists(mirror() / "Prom/waiting.jpg"));
}

TEST_F(CleanUp, MissingOrWrongFoldersEndQuietly) {
    writeFile(tmp_ / "a-file", "x");
    for (const std::string& path :
         {(tmp_ / "missing").string(), (tmp_ / "a-file").string(), std::string()}) {
        store_->setObject(sPrefLocalMasterMirrorSiteFolder, Value(path));
        store_->setObject(sPrefLocalSourceUploadFolder, Value(path));
        doSetupDeleteOldPhotosThread(context());
        deleteOldEmptySourceFolders(context());
        ibDeleteLocalFtpFolderIfEmpty(context());
    }
    EXPECT_TRUE(fs::is_regular_file(tmp_ / "a-file"));
    EXPECT_TRUE(window_.empty());
}

TEST_F(CleanUp, StartUpSweepsRemoveTwoLevelsOfOldFolders) {
    folder(source() / "x/y", 4 * kDay);
    folder(source() / "p/q/r", 4 * kDay);
    folder(source() / "atCutoff", 3 * kDay);
    folder(source() / "young", 2 * kDay);
    file(source() / "ds/.DS_Store", "finder", 10 * kDay);
    made(source() / "ds", 10 * kDay);
    file(source() / "full/photo.jpg", kJpeg, 10 * kDay);
    made(source() / "full", 10 * kDay);

    deleteOldEmptySourceFolders(context());
    EXPECT_EQ(tree(source()), (Tree{"p/", "atCutoff/", "young/", "full/", "full/photo.jpg"}));
}

TEST_F(CleanUp, QuitTimeSweepKeepsTheDirectSubFolders) {
    store_->setObject(sPrefLocalSourceUploadFolder, Value(source().string() + "/"));
    folder(source() / "event/client", 0s);
    folder(source() / "event2/client/inner", 500 * kDay);
    file(source() / "event3/client/.DS_Store", "finder", 0s);
    file(source() / "event4/client/IMG_1.jpg", kJpeg, 500 * kDay);
    fs::create_directory_symlink(tmp_ / "outside", source() / "event4/link");
    folder(tmp_ / "outside", 500 * kDay);

    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_EQ(tree(source()), (Tree{"event/", "event2/", "event2/client/", "event3/", "event4/",
                                    "event4/client/", "event4/client/IMG_1.jpg", "event4/link"}));
    EXPECT_EQ(window_, (Lines{"show", "close"}));
    EXPECT_TRUE(fs::is_directory(tmp_ / "outside"));

    ibDeleteLocalFtpFolderIfEmpty(context());
    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_EQ(tree(source()), (Tree{"event/", "event2/", "event3/", "event4/", "event4/client/",
                                    "event4/client/IMG_1.jpg", "event4/link"}));

    // The capture software writes into a folder between the emptiness test and the removal.
    folder(source() / "event/client", 0s);
    onLine_ = [&](const std::string& line) {
        if (line == "event/client") writeFile(source() / "event/client/IMG_2.jpg", kJpeg);
    };
    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_TRUE(fs::exists(source() / "event/client/IMG_2.jpg"));
}

}  // namespace
}  // namespace vorn
