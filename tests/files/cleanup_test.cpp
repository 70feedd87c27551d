#include "files/CleanUp.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "files/KDW_FileManager.h"
#include "platform/FileTimes.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "support/RunAsUser.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::writeFile;
using namespace std::chrono_literals;

constexpr auto kDay = std::chrono::hours(24);
const std::string kJpeg("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
const std::string kPng("\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR", 16);

SystemTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    using namespace std::chrono;
    return sys_days(year(y) / mo / d) + hours(h) + minutes(mi) + seconds(s);
}
const SystemTime kNow = utc(2026, 6, 1, 12, 0, 0);

// Stands in for IsValidImageObject, which lives in the metadata layer: JPEG and PNG by their
// first bytes.
bool looksLikeImage(const std::string& path) {
    const std::string head = test::readFile(path).substr(0, 8);
    return head.rfind("\xFF\xD8\xFF", 0) == 0 || head == kPng.substr(0, 8);
}

std::string key(const fs::path& p) {
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// Linux cannot set a file's birth time, so the tests keep the creation dates in a table; the
// modification time (set with utimensat) stands behind a missing or zero creation date, as the
// file-date rule has it.
class CreationDates {
  public:
    void set(const fs::path& path, SystemTime t) { dates_[key(path)] = t; }
    FileDateSource source() const {
        return [this](const std::string& path) -> std::optional<SystemTime> {
            const auto modification = fileModificationTime(path);
            if (!modification) return std::nullopt;
            auto it = dates_.find(key(path));
            return fileDateFromDates(
                it == dates_.end() ? std::nullopt : std::optional<SystemTime>(it->second),
                modification);
        };
    }

  private:
    std::map<std::string, SystemTime> dates_;
};

void setModificationTime(const fs::path& path, SystemTime t) {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(t.time_since_epoch()).count();
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns % 1000000000);
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// What the maintenance window was told, in order.
struct WindowLog {
    std::vector<std::string> events;
    std::vector<std::string> line2() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            if (e.rfind("line2:", 0) == 0) out.push_back(e.substr(6));
        }
        return out;
    }
};

class RecordingWindow : public MaintenanceWindow {
  public:
    RecordingWindow(WindowLog& log, std::function<void(const std::string&)> onLine2)
        : log_(log), onLine2_(std::move(onLine2)) {}
    void showWindow() override { log_.events.push_back("show"); }
    void ibSetWindowTitle(const std::string& t) override { log_.events.push_back("title:" + t); }
    void ibUpdateLine1TextField(const std::string& t, bool) override {
        log_.events.push_back("line1:" + t);
    }
    void ibUpdateLine2TextField(const std::string& t, bool) override {
        log_.events.push_back("line2:" + t);
        if (onLine2_) onLine2_(t);
    }
    void ibUpdateProgressBar(const std::string& s) override {
        log_.events.push_back("progress:" + s);
    }
    void close() override { log_.events.push_back("close"); }

  private:
    WindowLog& log_;
    std::function<void(const std::string&)> onLine2_;
};

// Every entry below root, folders with a trailing "/".
std::set<std::string> tree(const fs::path& root) {
    std::set<std::string> out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        out.insert(e.is_directory() && !e.is_symlink() ? rel + "/" : rel);
    }
    return out;
}

class CleanUp : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = Preferences::sharedStore();
        store_ = std::make_shared<PreferencesStore>((tmp_ / "prefs.plist").string());
        Preferences::setStore(store_);
        store_->setObject(sPrefLocalSourceUploadFolder, Value(source().string()));
        store_->setObject(sPrefLocalMasterMirrorSiteFolder, Value(mirror().string()));
        store_->setObject(sPrefDoUseDeleteOldPhotos, Value("yes"));
        clock_ = std::make_shared<FixedClock>(kNow);
    }
    void TearDown() override { Preferences::setStore(previous_); }

    fs::path source() const { return tmp_ / "Source"; }
    fs::path mirror() const { return tmp_ / "Mirror"; }

    // A folder or file (content given) created the given time before now.
    void folder(const fs::path& p, std::chrono::system_clock::duration age) {
        fs::create_directories(p);
        dates_.set(p, kNow - age);
    }
    void file(const fs::path& p, const std::string& content,
              std::chrono::system_clock::duration age) {
        writeFile(p, content);
        dates_.set(p, kNow - age);
    }

    CleanUpContext context() {
        CleanUpContext c;
        c.clock = clock_;
        c.isImage = looksLikeImage;
        c.fileDate = dates_.source();
        c.newMaintenanceWindow = [this]() -> std::unique_ptr<MaintenanceWindow> {
            return std::make_unique<RecordingWindow>(window_, onLine2_);
        };
        c.settleDelay = 0ms;
        return c;
    }

    test::TempDir tmp_;
    std::shared_ptr<PreferencesStore> previous_;
    std::shared_ptr<PreferencesStore> store_;
    std::shared_ptr<FixedClock> clock_;
    CreationDates dates_;
    WindowLog window_;
    std::function<void(const std::string&)> onLine2_;
};

TEST_F(CleanUp, OldPhotosInTheMirrorFolder) {
    const auto days30 = 30 * kDay;
    struct Case {
        const char* name;
        std::string content;
        std::chrono::system_clock::duration age;
        bool deleted;
    };
    const Case cases[] = {
        {"Prom/a_31days.jpg", kJpeg, 31 * kDay, true},
        {"Prom/b_cutoff.jpg", kJpeg, days30, false},
        {"Prom/c_justOlder.jpg", kJpeg, days30 + 1s, true},
        {"Prom/d_justYounger.jpg", kJpeg, days30 - 1s, false},
        {"Prom/e.png", kPng, 31 * kDay, true},
        {"Prom/Client/deep.jpg", kJpeg, 400 * kDay, true},
        {"top.jpg", kJpeg, 31 * kDay, true},
        {"Prom/f_today.jpg", kJpeg, 0s, false},
        {"Prom/notes.txt", "notes", 5000 * kDay, false},
        {"Prom/fake.jpg", "not an image", 5000 * kDay, false},
        {"Prom/IMG_1.mov", "movie", 5000 * kDay, false},
        {"Prom/.hidden", "x", 5000 * kDay, false},
    };
    for (const auto& c : cases) file(mirror() / c.name, c.content, c.age);
    // Zero creation dates: aged by the modification time.
    for (SystemTime zero : {utc(1904, 1, 1), utc(1970, 1, 1)}) {
        const std::string tag = zero == utc(1970, 1, 1) ? "1970" : "1904";
        file(mirror() / ("Zero/old" + tag + ".jpg"), kJpeg, 0s);
        file(mirror() / ("Zero/new" + tag + ".jpg"), kJpeg, 0s);
        dates_.set(mirror() / ("Zero/old" + tag + ".jpg"), zero);
        dates_.set(mirror() / ("Zero/new" + tag + ".jpg"), zero);
        setModificationTime(mirror() / ("Zero/old" + tag + ".jpg"), kNow - 31 * kDay);
        setModificationTime(mirror() / ("Zero/new" + tag + ".jpg"), kNow - 1 * kDay);
    }

    deleteOldOldPhotosAndFolderIfEmptyWorks(context());

    for (const auto& c : cases) {
        EXPECT_EQ(fs::exists(mirror() / c.name), !c.deleted) << c.name;
    }
    EXPECT_EQ(tree(mirror() / "Zero"), (std::set<std::string>{"new1904.jpg", "new1970.jpg"}));
    // Folders stay; only the sweep removes them.
    EXPECT_TRUE(fs::is_directory(mirror() / "Prom/Client"));

    ASSERT_GE(window_.events.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(window_.events.begin(), window_.events.begin() + 4),
              (std::vector<std::string>{"line1:Deleting the OLD Photos (older than 30 days)...",
                                        "line2:", "progress:YES", "show"}));
    EXPECT_EQ(window_.events.back(), "close");
    const auto lines = window_.line2();
    const std::set<std::string> shown(lines.begin(), lines.end());
    for (const char* expected : {"Deleting: Prom/a_31days.jpg", "Deleting: Prom/Client/deep.jpg",
                                 "Skipping: Prom/notes.txt", "Skipping: Prom/IMG_1.mov"}) {
        EXPECT_TRUE(shown.count(expected)) << expected;
    }
    EXPECT_FALSE(shown.count("Skipping: Prom/.hidden"));
    EXPECT_FALSE(shown.count("Deleting: Prom/b_cutoff.jpg"));
}

TEST_F(CleanUp, TheAgeLimitPreference) {
    struct Case {
        Value stored;  // None: unset
        std::int16_t days;
    };
    const Case cases[] = {
        {Value(), 30},         {Value(10), 10},    {Value(12.9), 12},
        {Value("7"), 7},       {Value(0), 30},  // "0 days" would wipe the mirror folder at once
        {Value(0.5), 30},      {Value(-5), 30},    {Value(65535), 32767},  // not -1: not "all"
        {Value(40000), 32767}, {Value("abc"), 30},
    };
    for (const auto& c : cases) {
        store_->removeObject(sPrefDaysOldBeforeDeleting);
        if (!c.stored.isNone()) store_->setObject(sPrefDaysOldBeforeDeleting, c.stored);
        EXPECT_EQ(daysOldBeforeDeleting(), c.days) << c.stored.stringValue();
    }

    // End to end: a limit that reads as 0 or less keeps a two-day-old photo.
    for (Value stored : {Value(0), Value(65535)}) {
        store_->setObject(sPrefDaysOldBeforeDeleting, stored);
        file(mirror() / "Prom/recent.jpg", kJpeg, 2 * kDay);
        deleteOldOldPhotosAndFolderIfEmptyWorks(context());
        EXPECT_TRUE(fs::exists(mirror() / "Prom/recent.jpg")) << stored.stringValue();
    }
    store_->setObject(sPrefDaysOldBeforeDeleting, Value(1));
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_FALSE(fs::exists(mirror() / "Prom/recent.jpg"));
}

TEST_F(CleanUp, TheCleanUpThreadOnAndOff) {
    auto plantMirror = [&] {
        file(mirror() / "Prom/old.jpg", kJpeg, 40 * kDay);
        file(mirror() / "Prom/new.jpg", kJpeg, 1 * kDay);
        file(mirror() / "Gala/old.jpg", kJpeg, 40 * kDay);  // Gala empties
        folder(mirror() / "a/b", 0s);                       // b empty, young
        file(mirror() / "c/.DS_Store", "finder", 0s);
        folder(mirror() / "Empty", 0s);
    };
    const std::set<std::string> planted{"Prom/",        "Prom/old.jpg", "Prom/new.jpg", "Gala/",
                                        "Gala/old.jpg", "a/",           "a/b/",         "c/",
                                        "c/.DS_Store",  "Empty/"};

    store_->setObject(sPrefDoUseDeleteOldPhotos, Value("no"));
    plantMirror();
    doSetupDeleteOldPhotosThread(context());
    EXPECT_EQ(tree(mirror()), planted);
    EXPECT_TRUE(window_.events.empty());

    store_->setObject(sPrefDoUseDeleteOldPhotos, Value("yes"));
    doSetupDeleteOldPhotosThread(context());
    // Every empty folder of any age goes, the direct sub-folders too; a/ only at next launch.
    EXPECT_EQ(tree(mirror()), (std::set<std::string>{"Prom/", "Prom/new.jpg", "a/"}));
    doSetupDeleteOldPhotosThread(context());
    EXPECT_EQ(tree(mirror()), (std::set<std::string>{"Prom/", "Prom/new.jpg"}));
}

TEST_F(CleanUp, PhotosWaitingForUploadAreNeverDeleted) {
    // The source folder inside the mirror folder.
    store_->setObject(sPrefLocalSourceUploadFolder, Value((mirror() / "Incoming").string()));
    file(mirror() / "Incoming/Prom/waiting.jpg", kJpeg, 100 * kDay);
    file(mirror() / "Prom/uploaded.jpg", kJpeg, 100 * kDay);
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_TRUE(fs::exists(mirror() / "Incoming/Prom/waiting.jpg"));
    EXPECT_FALSE(fs::exists(mirror() / "Prom/uploaded.jpg"));

    // The same folder for both, also when named through a link.
    fs::create_directory_symlink(mirror(), tmp_ / "link");
    store_->setObject(sPrefLocalSourceUploadFolder, Value((tmp_ / "link").string()));
    file(mirror() / "Prom/waiting.jpg", kJpeg, 100 * kDay);
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_TRUE(fs::exists(mirror() / "Prom/waiting.jpg"));

    // Links are not followed out of the mirror folder.
    store_->setObject(sPrefLocalSourceUploadFolder, Value(source().string()));
    file(tmp_ / "Elsewhere/keep.jpg", kJpeg, 100 * kDay);
    fs::create_directory_symlink(tmp_ / "Elsewhere", mirror() / "Linked");
    fs::create_symlink(tmp_ / "Elsewhere/keep.jpg", mirror() / "keep-link.jpg");
    deleteOldOldPhotosAndFolderIfEmptyWorks(context());
    EXPECT_TRUE(fs::exists(tmp_ / "Elsewhere/keep.jpg"));
    EXPECT_FALSE(fs::exists(mirror() / "Prom/waiting.jpg"));
}

TEST_F(CleanUp, MissingOrWrongFoldersEndQuietly) {
    const std::vector<std::pair<std::string, bool>> mirrors = {
        {(tmp_ / "missing").string(), false}, {(tmp_ / "a-file").string(), true}, {"", false}};
    for (const auto& [path, isFile] : mirrors) {
        if (isFile) writeFile(path, "x");
        store_->setObject(sPrefLocalMasterMirrorSiteFolder, Value(path));
        store_->setObject(sPrefLocalSourceUploadFolder, Value(path));
        doSetupDeleteOldPhotosThread(context());
        deleteOldEmptySourceFolders(context());
        ibDeleteLocalFtpFolderIfEmpty(context());
        KDW_FileManager::deleteFolderIfEmpty(path, true);
        EXPECT_EQ(isFile, fs::is_regular_file(path)) << path;
    }
    EXPECT_TRUE(window_.events.empty());
}

TEST_F(CleanUp, FolderSweepWithACutoff) {
    const SystemTime cutoff = kNow - 3 * kDay;
    folder(source() / "x/y", 4 * kDay);
    dates_.set(source() / "x", kNow - 4 * kDay);
    folder(source() / "young", 2 * kDay);
    folder(source() / "atCutoff", 3 * kDay);
    file(source() / "ds/.DS_Store", "finder", 10 * kDay);
    dates_.set(source() / "ds", kNow - 10 * kDay);
    file(source() / "full/photo.jpg", kJpeg, 10 * kDay);
    dates_.set(source() / "full", kNow - 10 * kDay);
    folder(source() / "undated", 10 * kDay);

    // A folder whose date cannot be read is not old.
    auto dates = dates_.source();
    const FileDateSource withGap = [&](const std::string& p) -> std::optional<SystemTime> {
        if (key(p) == key(source() / "undated")) return std::nullopt;
        return dates(p);
    };
    KDW_FileManager::deleteFolderIfEmpty(source().string(), false, cutoff, nullptr, withGap);
    EXPECT_EQ(tree(source()), (std::set<std::string>{"x/", "young/", "atCutoff/", "full/",
                                                     "full/photo.jpg", "undated/"}));
    // One level per sweep: x only now.
    KDW_FileManager::deleteFolderIfEmpty(source().string(), false, cutoff, nullptr, withGap);
    EXPECT_EQ(tree(source()), (std::set<std::string>{"young/", "atCutoff/", "full/",
                                                     "full/photo.jpg", "undated/"}));
}

TEST_F(CleanUp, StartUpSweepsRemoveTwoLevelsOfOldFolders) {
    folder(source() / "x/y", 4 * kDay);
    dates_.set(source() / "x", kNow - 4 * kDay);
    folder(source() / "p/q/r", 4 * kDay);
    dates_.set(source() / "p", kNow - 4 * kDay);
    dates_.set(source() / "p/q", kNow - 4 * kDay);
    folder(source() / "young", 2 * kDay);
    deleteOldEmptySourceFolders(context());
    EXPECT_EQ(tree(source()), (std::set<std::string>{"p/", "young/"}));

    // The three days are counted from the injected clock.
    clock_->advance(2 * kDay);
    deleteOldEmptySourceFolders(context());
    EXPECT_EQ(tree(source()), std::set<std::string>{});
}

TEST_F(CleanUp, QuitTimeSweepKeepsTheDirectSubFolders) {
    store_->setObject(sPrefLocalSourceUploadFolder, Value(source().string() + "/"));
    folder(source() / "event/client", 0s);
    folder(source() / "event2/client/inner", 500 * kDay);
    file(source() / "event3/client/.DS_Store", "finder", 0s);
    file(source() / "event4/client/IMG_1.jpg", kJpeg, 500 * kDay);

    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_EQ(tree(source()),
              (std::set<std::string>{"event/", "event2/", "event2/client/", "event3/", "event4/",
                                     "event4/client/", "event4/client/IMG_1.jpg"}));
    EXPECT_EQ(std::vector<std::string>(window_.events.begin(), window_.events.begin() + 4),
              (std::vector<std::string>{"show",
                                        "line1:Deleting Empty Folders in the Source Upload Folder:",
                                        "line2:", "progress:YES"}));
    EXPECT_EQ(window_.line2(), (std::vector<std::string>{"", "event/client", "event2/client/inner",
                                                         "event3/client"}));
    EXPECT_EQ(window_.events.back(), "close");

    ibDeleteLocalFtpFolderIfEmpty(context());
    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_EQ(tree(source()), (std::set<std::string>{"event/", "event2/", "event3/", "event4/",
                                                     "event4/client/", "event4/client/IMG_1.jpg"}));

    // Without a window the sweep runs all the same.
    folder(source() / "event/late", 0s);
    auto c = context();
    c.newMaintenanceWindow = nullptr;
    ibDeleteLocalFtpFolderIfEmpty(c);
    EXPECT_FALSE(fs::exists(source() / "event/late"));
}

TEST_F(CleanUp, APhotoDroppedDuringTheSweepKeepsItsFolder) {
    folder(source() / "event/client", 0s);
    folder(source() / "event/other", 0s);
    // The capture software writes into client between the emptiness test and the removal.
    onLine2_ = [&](const std::string& line) {
        if (line == "event/client") writeFile(source() / "event/client/IMG_2.jpg", kJpeg);
    };
    ibDeleteLocalFtpFolderIfEmpty(context());
    EXPECT_EQ(tree(source() / "event"), (std::set<std::string>{"client/", "client/IMG_2.jpg"}));
}

TEST_F(CleanUp, LinksAreNeitherFollowedNorDeleted) {
    folder(tmp_ / "outside/empty", 100 * kDay);
    folder(source() / "event", 100 * kDay);
    fs::create_directory_symlink(tmp_ / "outside", source() / "event/link");
    fs::create_directory_symlink(tmp_ / "outside/empty", source() / "event/emptyLink");
    KDW_FileManager::deleteFolderIfEmpty(source().string(), false);
    KDW_FileManager::deleteFolderIfEmpty(source().string(), false, kNow, nullptr, dates_.source());
    EXPECT_TRUE(fs::is_directory(tmp_ / "outside/empty"));
    EXPECT_TRUE(fs::is_symlink(source() / "event/link"));
    EXPECT_TRUE(fs::is_symlink(source() / "event/emptyLink"));
}

TEST_F(CleanUp, FoldersTheUserMayNotDeleteStay) {
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to run the sweep as another user";
    // The sweep runs as "nobody": the locked folder belongs to root, the open one to nobody.
    fs::permissions(tmp_.path(), fs::perms::owner_all | fs::perms::group_exec |
                                     fs::perms::others_exec | fs::perms::group_read |
                                     fs::perms::others_read);
    const fs::path root = tmp_ / "tree";
    fs::create_directories(root / "locked/inner");
    fs::create_directories(root / "open/inner");
    for (const char* p : {"", "/open", "/open/inner"}) {
        ASSERT_EQ(::chown((root.string() + p).c_str(), 65534, 65534), 0);
    }
    const auto status = test::runAsNobody([&] {
        KDW_FileManager::deleteFolderIfEmpty(root.string(), false);
        return 0;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(tree(root), (std::set<std::string>{"locked/", "locked/inner/", "open/"}));
}

}  // namespace
}  // namespace vorn
