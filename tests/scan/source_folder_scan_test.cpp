// The source-folder scan on real folder trees, the photos written as capture software does.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/cycle/RecordingUserInterface.h"
#include "upload/Records.h"
#include "upload/RetryBackoff.h"
#include "upload/SourceFolderScanner.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

// The modification time of a finished photo, as the fixed clock sees it.
const fs::file_time_type kLongAgo =
    std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(1700000000));

// A real process holding a file open for writing while it lives.
class HeldForWriting {
  public:
    explicit HeldForWriting(const fs::path& file)
        : holder_("/bin/sh", {"-c", "exec 3>>\"$0\"; echo ready; exec sleep 600", file.string()}) {
        EXPECT_TRUE(holder_.waitForLine("ready"));
    }

  private:
    test::ChildProcess holder_;
};

// The skip lines and the waiting count a user sees.
struct SkipLines : test::RecordingUserInterface {
    void showUploadOutcome(const UploadOutcome& outcome) override {
        if (outcome.kind == UploadOutcome::Kind::Skipped)
            lines.push_back("skipped " + outcome.name + " " + outcome.reason);
    }
    void showWaitingCount(std::size_t photosWaiting) override { waiting = photosWaiting; }
    void showSkippedCount(const SkippedCount& count) override { skipped = count.withoutMetadata; }
    std::vector<std::string> lines;
    std::size_t waiting = 99, skipped = 99;
};

class ScanTest : public ::testing::Test {
  public:
    void SetUp() override {
        fs::create_directories(mirror);
        Preferences::setStore(store);
        store->setObject(sPrefLocalMasterMirrorSiteFolder, mirror.string());
    }

    // A JPEG with metadata, its modification time well in the past (a finished photo) when aged.
    void jpeg(const std::string& rel, Dictionary metadata = {{"Version", "3.1"}},
              bool aged = true) {
        capture::JpegSpec recipe;
        recipe.userComment = capture::metadataText(metadata);
        plainFile(rel, capture::makeJpeg(recipe).flatten(), aged);
    }
    void png(const std::string& rel, Dictionary metadata = {{"Version", "3.1"}}) {
        capture::PngSpec recipe;
        recipe.trailerText = capture::metadataText(metadata);
        plainFile(rel, capture::makePng(recipe).flatten());
    }
    // Written in place: a file rewritten keeps its inode.
    void plainFile(const std::string& rel, const std::string& bytes, bool aged = true) {
        test::writeFile(source / rel, bytes);
        if (aged) fs::last_write_time(source / rel, kLongAgo);
    }

    ScanOutcome scan(SourceFolderScanner& scanner, RetryBackoff* backoff = nullptr) {
        ScanInput in;
        if (backoff)
            in.isWaitingToRetry = [backoff](const std::string& p) { return backoff->isWaiting(p); };
        in.workingCopy = makeScanRequest(source.string(), mirror.string(), "Prom");
        in.rootFolder = source.string();
        in.mirrorFolder = Preferences::getLocalMasterMirrorSiteFolder().value_or(mirror.string());
        in.eventName = "Prom";
        in.userName = "photog";
        in.password = "secret";
        return scanner.chooseNextItem(in);
    }
    std::string chosen(SourceFolderScanner& scanner, RetryBackoff* backoff = nullptr) {
        ScanOutcome o = scan(scanner, backoff);
        return o.kind == ScanOutcome::Kind::Chosen ? *stringForKey(*o.record, cDictKeyCurItem) : "";
    }

    TempDir tmp;
    fs::path source = tmp / "Upload", mirror = tmp / "Mirror";
    std::shared_ptr<PreferencesStore> store =
        std::make_shared<PreferencesStore>((tmp / "prefs.plist").string());
};

TEST_F(ScanTest, EligibilityOfFiles) {
    struct Row {
        const char* what;
        // Photos with an empty dictionary (that is metadata too), and other files.
        std::vector<std::string> photos, others;
        bool baseIds, movie;   // the preferences that take the base id from the file name, and
        std::string expected;  // that upload the movie; "" = nothing chosen
    };
    const std::vector<Row> rows = {
        {"hidden file", {"client/.a.jpg"}, {}, false, false, ""},
        {"photo in a hidden folder", {".folder/a.jpg"}, {}, false, false, ".folder/a.jpg"},
        {"root-level photo without base ids", {"a.jpg"}, {}, false, false, ""},
        {"root-level photo with base ids", {"A12_01.jpg"}, {}, true, false, "A12_01.jpg"},
        {"root-level non-image with base ids", {}, {"notes.jpg"}, true, false, ""},
        {"movie alone", {}, {"client/a.mov"}, false, false, ""},
        {"no metadata", {"client/b.jpg"}, {"client/a.jpg"}, false, false, "client/b.jpg"},
        {"movie required and missing", {"c/a.jpg", "c/b.jpg"}, {"c/b.mov"}, false, true, "c/b.jpg"},
        {"folders in name order", {"b/2.jpg", "b/10.jpg", "a/z.jpg"}, {}, false, false, "a/z.jpg"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(source);
        store->setObject(sPrefFormBaseIdFromFileName, row.baseIds);
        store->setObject(sPrefUploadMovie, row.movie);
        for (const std::string& photo : row.photos) jpeg(photo, {});
        for (const std::string& file : row.others) plainFile(file, "not a photo");
        SourceFolderScanner scanner;
        EXPECT_EQ(chosen(scanner), row.expected);
    }
    EXPECT_TRUE(fs::is_directory(mirror / "a"));  // folders mirrored as the walk met them
}

TEST_F(ScanTest, FiledPhotosAreNeverMetAgainAndALoneMovieNeverReplacesAFiledOne) {
    // A movie that arrives before its photo, beside a same-named pair of an earlier sitting in
    // the mirror or the problem folder, stays: the scan files nothing by name. (A movie left
    // behind by a filing cut short is the filing journal's.)
    test::writeFile(mirror / "client/a.jpg", "filed");
    test::writeFile(mirror / "client/a.mov", "earlier movie a");
    plainFile("client/a.mov", "movie a");
    test::writeFile(tmp / "Problem Folder/client/b.png", "set aside");
    plainFile("client/b.mov", "movie b");
    jpeg("client/d.jpg");
    plainFile("client/d.mov", "movie d");
    SourceFolderScanner scanner;
    EXPECT_EQ(chosen(scanner), "client/d.jpg");
    EXPECT_EQ(test::readFile(mirror / "client/a.mov"), "earlier movie a");
    EXPECT_FALSE(fs::exists(tmp / "Problem Folder/client/b.mov"));
    for (const char* movie : {"client/a.mov", "client/b.mov", "client/d.mov"})
        EXPECT_TRUE(fs::exists(source / movie)) << movie;

    // A mirror folder inside the source folder is never walked into.
    fs::remove_all(source);
    store->setObject(sPrefLocalMasterMirrorSiteFolder, (source / "Mirror").string());
    jpeg("Mirror/client/x.jpg");
    EXPECT_EQ(chosen(scanner), "");
}

TEST_F(ScanTest, APhotoWaitingAfterAFailureIsPassedOverUntilItsWaitEndsOrItChanges) {
    using namespace std::chrono_literals;
    jpeg("client/a.jpg");
    jpeg("client/b.jpg");
    const std::string a = (source / "client/a.jpg").string();
    std::chrono::steady_clock::time_point now{};
    RetryBackoff backoff([&] { return now; });
    SourceFolderScanner scanner;

    EXPECT_EQ(backoff.recordFailure(a, 5s), 1s);
    EXPECT_EQ(chosen(scanner, &backoff), "client/b.jpg");
    now += 1s;
    EXPECT_EQ(chosen(scanner, &backoff), "client/a.jpg");
    // Doubling up to the ceiling; the service's Retry-After when longer, at most an hour.
    for (auto expected : {2s, 4s, 5s, 5s}) EXPECT_EQ(backoff.recordFailure(a, 5s), expected);
    EXPECT_EQ(backoff.recordFailure(a, 5s, 30s), 30s);
    EXPECT_EQ(backoff.recordFailure(a, 5s, 7200s), 3600s);
    EXPECT_EQ(backoff.nextWaitEnds(), 3600s);
    EXPECT_EQ(chosen(scanner, &backoff), "client/b.jpg");
    // Saved again by the capture software: a new photo, tried at once and waiting afresh.
    jpeg("client/a.jpg", {{"Version", "3.1"}, {"Edited", "yes"}});
    EXPECT_EQ(chosen(scanner, &backoff), "client/a.jpg");
    EXPECT_EQ(backoff.recordFailure(a, 5s), 1s);
    backoff.forget(a);
    EXPECT_EQ(chosen(scanner, &backoff), "client/a.jpg");
}

TEST_F(ScanTest, ClientNamesCaptionsAndTheRecord) {
    struct Row {
        const char* what;
        std::string file, fuseAction;
        std::optional<std::string> metaData;  // the caption preference
        bool baseIds;
        std::string client, caption;
    };
    const std::vector<Row> rows = {
        {"folder name", "Smith/IMG_1.jpg", "upload.upload", std::nullopt, false, "Smith", ""},
        {"fuse action gives the file name", "Smith/IMG_1.jpg", "upload.riri", std::nullopt, false,
         "IMG_1", "From Riri Miami 2010 Event."},
        {"base id before _", "Smith/A12_01.jpg", "upload.upload", std::nullopt, true, "A12", ""},
        {"base id is the name", "Smith/A12.jpg", "upload.upload", std::nullopt, true, "A12", ""},
        // Last: the preference stays set.
        {"caption preference wins", "Smith/IMG_1.jpg", "upload.riri", "Senior prom", false, "IMG_1",
         "Senior prom"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(source);
        jpeg(row.file);
        store->setObject(sPrefKivFuseAction, row.fuseAction);
        if (row.metaData) store->setObject(sPrefMetaData, *row.metaData);
        store->setObject(sPrefFormBaseIdFromFileName, row.baseIds);

        SourceFolderScanner scanner;
        ScanOutcome o = scan(scanner);
        ASSERT_EQ(o.kind, ScanOutcome::Kind::Chosen);
        Dictionary expected{{edClientName, row.client},
                            {edMetaData, row.caption},
                            {edFileName, (source / row.file).string()},
                            {edUser, "photog"},
                            {edPasswd, "secret"},
                            {edEventName, "Prom"},
                            {cDictKeyLocalSourceUploadFolder, source.string()},
                            {edKivFuseAction, row.fuseAction}};
        for (const auto& [key, value] : expected) EXPECT_EQ(o.record->at(key), value) << key;
        for (const char* absent :
             {edSittingInfoDictionary, edEmails, edOriginalPath, edRadudivInfo})
            EXPECT_FALSE(hasKey(*o.record, absent)) << absent;
    }
}

TEST_F(ScanTest, EmailsContactSittingAndCaptureTime) {
    const Array six{"p1@x.org", "p2@x.org", "p3@x.org", "p4@x.org", "p5@x.org", "p6@x.org"};
    store->setObject(sPrefKivFuseAction, "upload.zarar");
    jpeg("c/a.jpg",
         {{"KD_emailsForUpload", six},
          {"KD_radudivInfo", Dictionary{{"email", "kid@example.org"}, {"mobile", "555"}}},
          {"OriginalPath", "/Volumes/Capture/Prom%20Night/IMG_0042.JPG"},
          {"SittingInfoDictionary",
           Dictionary{{"capturetime", "2011-01-02 03:04:05"}, {"firstname", "Zoë"}}}});
    SourceFolderScanner scanner;
    ScanOutcome o = scan(scanner);
    ASSERT_EQ(o.kind, ScanOutcome::Kind::Chosen);
    const Dictionary& r = *o.record;
    EXPECT_EQ(*stringForKey(r, edEmails), "p1@x.org,p2@x.org,p3@x.org,p4@x.org");  // four at most
    EXPECT_EQ(*stringForKey(*r.at(edRadudivInfo).asDictionary(), "mobile"), "555");
    EXPECT_EQ(*stringForKey(r, edOriginalPath), "/Volumes/Capture/Prom%20Night/IMG_0042.JPG");
    EXPECT_EQ(*stringForKey(r, edCaptureTime), "2011-01-02 03:04:05");  // sitting time wins
    EXPECT_EQ(*stringForKey(*r.at(edSittingInfoDictionary).asDictionary(), "firstname"), "Zoë");

    // The account rurizururiz (any case) gets a sitting id from the file name of a PNG
    // without sitting details; the capture time is the photo's own date.
    fs::remove_all(source);
    store->setObject(sUserLoginName, "RURIZURURIZ");
    store->setObject(sPrefKivFuseAction, "upload.upload");
    png("c/B77_A.png", {{"Version", "1"}});
    o = scan(scanner);
    ASSERT_EQ(o.kind, ScanOutcome::Kind::Chosen);
    EXPECT_EQ(*stringForKey(*o.record->at(edSittingInfoDictionary).asDictionary(), "sittingid"),
              "B77");
    EXPECT_FALSE(hasKey(*o.record, edEmails));
    EXPECT_EQ(stringForKey(*o.record, edCaptureTime)->size(), 19u);
}

TEST_F(ScanTest, FilesWithoutMetadataAreLeftAloneUntilTheyMayHaveChangedAndForgottenOnceGone) {
    // How a file rewritten in place (same name, same inode, folder unchanged) is looked at again.
    const std::vector<std::pair<const char*, std::function<void(SourceFolderScanner&)>>> tells = {
        {"its writer's close",
         [this](SourceFolderScanner& s) { s.noteFileClosed((source / "c/junk5.jpg").string()); }},
        {"the timer's pass, no watcher", [](SourceFolderScanner& s) { s.requestFullPass(); }},
    };
    for (const auto& [kind, tell] : tells) {
        SCOPED_TRACE(kind);
        for (int i = 0; i < 20; ++i) plainFile("c/junk" + std::to_string(i) + ".jpg", "junk");
        plainFile("c/zz.jpg", "junk");
        fs::last_write_time(source / "c", kLongAgo);
        SourceFolderScanner scanner;
        EXPECT_EQ(chosen(scanner), "");
        const std::uint64_t judged = scanner.judgedFiles();
        EXPECT_EQ(chosen(scanner), "");
        EXPECT_EQ(scanner.metadataReads(), 21u);  // unchanged files are not read again
        // A file leaving, as a photo once filed: the others are not looked at again.
        fs::remove(source / "c/zz.jpg");
        EXPECT_EQ(chosen(scanner) + chosen(scanner), "");
        EXPECT_EQ(scanner.judgedFiles(), judged);

        jpeg("c/junk5.jpg");
        EXPECT_EQ(chosen(scanner), "");
        tell(scanner);
        EXPECT_EQ(chosen(scanner), "c/junk5.jpg");
        // One replaced by a new file of the same name is found at once.
        fs::remove(source / "c/junk3.jpg");
        jpeg("c/junk3.jpg");
        EXPECT_EQ(chosen(scanner), "c/junk3.jpg");

        // Files that are gone are forgotten once a pass has walked the whole folder.
        EXPECT_GE(scanner.filesWithoutMetadata(), 18u);
        fs::remove_all(source / "c");
        EXPECT_EQ(chosen(scanner), "");
        EXPECT_EQ(scanner.filesWithoutMetadata(), 0u);
    }
}

TEST_F(ScanTest, ARestedFileRewrittenInPlaceIsLookedAtAgainOnlyWhereNoEventWouldTell) {
    using namespace std::chrono_literals;
    // A file without metadata gets it written in place (same inode, folder unchanged), then a
    // timer pass comes after `after`. Looked at again, it is chosen.
    struct Row {
        const char* what;
        bool watching, shared;
        std::chrono::minutes after;
        bool lookedAgain;
    };
    const Row rows[] = {
        {"no watcher: every timer pass", false, false, 0min, true},
        {"watcher, local disk: its events tell", true, false, 11min, false},
        {"watcher, shared disk, within the interval", true, true, 9min, false},
        {"watcher, shared disk, after the interval", true, true, 11min, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(source);
        for (int i = 0; i < 10; ++i) plainFile("c/junk" + std::to_string(i) + ".jpg", "junk");
        for (int i = 0; i < 3; ++i) plainFile("c/z/junk" + std::to_string(i) + ".jpg", "junk");
        fs::last_write_time(source / "c", kLongAgo);
        auto wall = std::make_shared<FixedClock>(SystemTime(std::chrono::seconds(1800000000)));
        SourceFolderScanner scanner(wall, {.isShared = [&row](int) { return row.shared; }});
        SkipLines ui;
        scanner.setUserInterface(&ui);
        scanner.noteWatching(row.watching);
        if (row.watching) scanner.noteChangedFolders(source.string(), {});
        scanner.requestFullPass();
        EXPECT_EQ(chosen(scanner), "");
        EXPECT_EQ(ui.skipped, 13u);

        jpeg("c/junk5.jpg");
        wall->advance(row.after);
        scanner.requestFullPass();
        const std::uint64_t judged = scanner.judgedFiles();
        EXPECT_EQ(chosen(scanner), row.lookedAgain ? "c/junk5.jpg" : "");
        EXPECT_EQ(scanner.judgedFiles() - judged, row.lookedAgain ? 6u : 0u);  // junk0 to junk5
        if (row.lookedAgain) continue;
        // Left alone, files without metadata that leave, alone or with their folder, are
        // forgotten with their folder's event.
        fs::remove(source / "c/junk7.jpg");
        fs::remove_all(source / "c/z");
        scanner.noteChangedFolders(source.string(), {(source / "c").string()});
        EXPECT_EQ(chosen(scanner), "");
        EXPECT_EQ(ui.skipped, 9u);
        // Lost events have every file looked at again.
        scanner.noteChangedFolders(source.string(), {source.string()});
        EXPECT_EQ(chosen(scanner), "c/junk5.jpg");
    }
}

TEST_F(ScanTest, WatcherPassesJudgeOnlyChangedFoldersAndFullPassesFindWhatEventsMissed) {
    for (const char* folder : {"a", "b", "c"})
        for (int i = 0; i < 10; ++i)
            plainFile(std::string(folder) + "/junk" + std::to_string(i) + ".jpg", "junk");
    // How each kind of full pass is asked for.
    const std::vector<std::pair<const char*, std::function<void(SourceFolderScanner&)>>> fulls = {
        {"timer", [](SourceFolderScanner& s) { s.requestFullPass(); }},
        {"overflow",
         [this](SourceFolderScanner& s) {
             s.noteChangedFolders(source.string(), {source.string()});
         }},
        {"watcher lost", [](SourceFolderScanner& s) { s.noteWatching(false); }},
    };
    for (const auto& [kind, askFull] : fulls) {
        SCOPED_TRACE(kind);
        SourceFolderScanner scanner;
        scanner.noteWatching(true);
        scanner.noteChangedFolders(source.string(), {});
        EXPECT_EQ(chosen(scanner), "");  // the start-up pass judges everything
        EXPECT_EQ(scanner.judgedFiles(), 30u);

        // An event in b: only b is looked at again.
        jpeg("b/new.jpg");
        scanner.noteChangedFolders(source.string(), {(source / "b").string()});
        EXPECT_EQ(chosen(scanner), "b/new.jpg");
        EXPECT_EQ(scanner.judgedFiles(), 30u + 11u);
        fs::remove(source / "b/new.jpg");
        scanner.noteChangedFolders(source.string(), {(source / "b").string()});
        EXPECT_EQ(chosen(scanner), "");

        // A photo whose event was lost is not seen by event passes, but by the next full one.
        jpeg("c/missed.jpg");
        scanner.noteChangedFolders(source.string(), {(source / "a").string()});
        EXPECT_EQ(chosen(scanner), "");
        askFull(scanner);
        EXPECT_EQ(chosen(scanner), "c/missed.jpg");
        fs::remove(source / "c/missed.jpg");
    }
}

TEST_F(ScanTest, APhotoIsTakenOnceNobodyWritesItOrItStayedTheSameForTheSettleInterval) {
    using namespace std::chrono_literals;
    // The photo's time stamp against the wall clock: a camera clock hours ahead must not keep a
    // photo back, nor make passes run one after another.
    struct Row {
        const char* what;
        std::chrono::milliseconds stampedAgo;
        // retryAfter while a writer holds it: at once, 400 ms on, after it changed again
        std::chrono::milliseconds waits[3];
    };
    const Row rows[] = {
        {"written just now", 0ms, {1000ms, 600ms, 1000ms}},
        {"dated three hours ahead", -3h, {1000ms, 600ms, 1000ms}},
        {"written 400 ms ago", 400ms, {600ms, 200ms, 600ms}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(source);
        auto wall = std::make_shared<FixedClock>(SystemTime(std::chrono::seconds(1800000000)));
        auto monotonic = std::chrono::steady_clock::time_point() + std::chrono::hours(100);
        SourceFolderScanner scanner(
            wall, {.settleInterval = 1000ms, .monotonicNow = [&monotonic] { return monotonic; }});
        auto write = [&](const std::string& rel, Dictionary metadata) {
            jpeg(rel, std::move(metadata), false);
            fs::last_write_time(source / rel,
                                std::chrono::file_clock::from_sys(wall->now() - row.stampedAgo));
        };
        auto wait = [&](std::chrono::milliseconds expected) {
            ScanOutcome o = scan(scanner);
            EXPECT_EQ(o.kind, ScanOutcome::Kind::NothingToUpload);
            EXPECT_EQ(o.retryAfter, expected);
        };

        write("c/free.jpg", {{"Version", "3"}});  // nobody has it open: taken at once
        EXPECT_EQ(chosen(scanner), "c/free.jpg");
        fs::remove(source / "c/free.jpg");

        write("c/held.jpg", {{"Version", "3"}});
        HeldForWriting writer(source / "c/held.jpg");
        wait(row.waits[0]);
        monotonic += 400ms;
        wall->advance(400ms);
        wait(row.waits[1]);
        write("c/held.jpg", {{"Version", "3.1"}});  // written again: it must rest again
        wait(row.waits[2]);
        // The same at two looks a settle interval apart: taken, though its writer holds on.
        monotonic += 1000ms;
        EXPECT_EQ(chosen(scanner), "c/held.jpg");
    }
}

TEST_F(ScanTest, APhotoInAFolderNewToTheWatcherIsTakenAsSoonAsTheWatcherReportsIt) {
    SourceFolderScanner scanner(Clock::system(), std::chrono::hours(1));
    jpeg("a/old.jpg");
    scanner.noteWatching(true);
    scanner.noteChangedFolders(source.string(), {});
    EXPECT_EQ(chosen(scanner), "a/old.jpg");
    fs::remove(source / "a/old.jpg");
    EXPECT_EQ(chosen(scanner), "");

    // Written before the new folder's watch was in place: the watcher reports a file it found
    // there (one a folder); the event of the folder's own creation is still in its batch.
    struct Row {
        std::vector<std::string> photos;
        std::string reported, expected;
    };
    const Row rows[] = {
        {{"New Client/IMG_1.jpg"}, "New Client/IMG_1.jpg", "New Client/IMG_1.jpg"},
        {{"Day 2/Client B/IMG_2.jpg"}, "Day 2/Client B/IMG_2.jpg", "Day 2/Client B/IMG_2.jpg"},
        {{"Client C/IMG_3.jpg", "Client C/IMG_4.jpg"}, "Client C/IMG_4.jpg", "Client C/IMG_3.jpg"},
        // A temporary file of the capture software, gone by the time it is looked at.
        {{"Client D/IMG_5.jpg"}, "Client D/.IMG_5.jpg.part", "Client D/IMG_5.jpg"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        for (const std::string& photo : row.photos) jpeg(photo, {{"Version", "3"}}, false);
        scanner.noteFileClosed((source / row.reported).string());
        EXPECT_EQ(chosen(scanner), row.expected);
        fs::remove_all((source / row.expected).parent_path());
    }
}

TEST_F(ScanTest, TheWaitingCountIsThePhotosAPassMayStillTake) {
    // Counted by name until a pass has found them without metadata; never hidden files, movies,
    // photos at the root, nor what lies in a filing folder inside the source. A hidden folder's
    // photos are taken, and so counted.
    jpeg("a/1.jpg");
    jpeg("a/2.jpg");
    plainFile("a/junk.jpg", "junk");
    jpeg("a/.hidden.jpg");
    plainFile("a/1.mov", "moov");
    png("b/3.png");
    plainFile("b/junk.png", "junk");
    jpeg(".cache/4.jpg");
    jpeg("Mirror/c/5.jpg");
    jpeg("root.jpg");
    store->setObject(sPrefLocalMasterMirrorSiteFolder, (source / "Mirror").string());
    struct Step {
        const char* filed;  // removed before the pass, as once filed
        std::string chosen;
        std::size_t waiting;
    };
    const Step steps[] = {
        {"", ".cache/4.jpg", 6},         // a and b not looked at yet
        {".cache/4.jpg", "a/1.jpg", 5},  // a/2, a/junk and b not looked at yet
        {"a/1.jpg", "a/2.jpg", 4},       // a/junk is met only after a/2
        {"a/2.jpg", "b/3.png", 2},       // a/junk found without metadata
        {"b/3.png", "", 0},
    };
    SkipLines ui;
    SourceFolderScanner scanner;
    scanner.setUserInterface(&ui);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.chosen);
        if (*step.filed) fs::remove(source / step.filed);
        EXPECT_EQ(chosen(scanner), step.chosen);
        EXPECT_EQ(ui.waiting, step.waiting);
    }
    // A photo saved over one found without metadata waits again, once its writer closes it.
    jpeg("a/junk.jpg");
    scanner.noteFileClosed((source / "a/junk.jpg").string());
    EXPECT_EQ(chosen(scanner), "a/junk.jpg");
    EXPECT_EQ(ui.waiting, 1u);
}

TEST_F(ScanTest, ALinkIsUploadedOnlyWhenItLeadsToAFileInsideTheSourceFolder) {
    // Photos outside the source folder (a path that is absolute stays so under it).
    const fs::path elsewhere = tmp / "Elsewhere";
    jpeg((elsewhere / "secret.jpg").string());
    test::writeFile(elsewhere / "secret.mov", "private movie");
    jpeg((tmp / "Upload2/p.jpg").string());
    struct Row {
        const char* what;
        std::string link, target;  // the link in the source folder, what it holds
        std::string expected;      // chosen
        std::string skipped;       // the one line saying why, "" when none
        bool movie = false, mirrorInside = false;
    };
    const std::string outside = "skipped c/a.jpg a link to a file outside the source folder";
    const std::vector<Row> rows = {
        {"absolute, outside", "c/a.jpg", (elsewhere / "secret.jpg").string(), "", outside},
        {"relative, climbing out", "c/a.jpg", "../../Elsewhere/secret.jpg", "", outside},
        {"into a folder whose name starts like the source folder's", "c/a.jpg",
         (tmp / "Upload2/p.jpg").string(), "", outside},
        {"through a link inside to outside", "c/a.jpg", "../hop.jpg", "", outside},
        {"relative, inside", "c/a.jpg", "../shared.jpg", "c/a.jpg", ""},
        {"absolute, inside", "c/a.jpg", (source / "shared.jpg").string(), "c/a.jpg", ""},
        {"into the mirror folder inside the source folder", "c/a.jpg", "../Mirror/c/x.jpg", "",
         "skipped c/a.jpg a link to a file filed already", false, true},
        {"a movie, outside", "c/a.mov", (elsewhere / "secret.mov").string(), "",
         "skipped c/a.mov a link to a file outside the source folder", true},
        {"a movie, inside", "c/a.mov", "../shared.mov", "c/a.jpg", "", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(source);
        jpeg("shared.jpg");  // at the root: not a photo to upload by itself
        test::writeFile(source / "shared.mov", "movie");
        if (row.mirrorInside) jpeg("Mirror/c/x.jpg");
        fs::create_symlink(elsewhere / "secret.jpg", source / "hop.jpg");
        if (row.movie) jpeg("c/a.jpg");
        fs::create_directories(source / "c");
        fs::create_symlink(row.target, source / row.link);
        store->setObject(sPrefUploadMovie, row.movie);
        store->setObject(sPrefLocalMasterMirrorSiteFolder,
                         (row.mirrorInside ? source / "Mirror" : mirror).string());
        SkipLines ui;
        SourceFolderScanner scanner;
        scanner.setUserInterface(&ui);
        EXPECT_EQ(chosen(scanner), row.expected);
        EXPECT_EQ(chosen(scanner), row.expected);  // said once per file, not once per pass
        scanner.requestFullPass();
        EXPECT_EQ(chosen(scanner), row.expected);
        // The links' lines (the tree's loose photos at its root have their own).
        std::erase_if(ui.lines, [](const std::string& l) {
            return l.find("photos go in a client folder") != std::string::npos;
        });
        EXPECT_EQ(ui.lines, row.skipped.empty() ? std::vector<std::string>{}
                                                : std::vector<std::string>{row.skipped});
        // A photo that is a link skipped is not counted as waiting.
        EXPECT_EQ(ui.waiting, row.skipped.empty() || row.movie ? 1u : 0u);
    }
}

}  // namespace
}  // namespace vorn
