// Filing answered photos through the journal: where photo and movie go, what is never filed,
// what a filing cut short by a kill leaves for the next pass, and a journal that cannot be read
// or a source copy that cannot be removed.

#include "files/PhotoFiler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/CapturedOutput.h"
#include "support/FolderLayout.h"
#include "support/OtherFileSystem.h"
#include "support/RunAsUser.h"
#include "support/ScopedEnv.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::folderContents;
using test::plant;
using test::readFile;
using test::writeFile;

struct FilerFixture {
    test::TempDir tmp;
    fs::path source = tmp / "Upload", mirror = tmp / "Site/Mirror",
             problem = tmp / "Site/Problem Folder", journal = tmp / "state/FilingJournal.plist";
    PhotoFiler::Folders folders{mirror.string(), problem.string()};
    std::shared_ptr<FixedClock> clock =
        std::make_shared<FixedClock>(test::utc(2026, 12, 6, 14, 15, 3));
    std::unique_ptr<PhotoFiler> filer = newFiler();

    // As after a restart: the same journal, a new process.
    std::unique_ptr<PhotoFiler> newFiler(SystemTime startedAt = std::chrono::system_clock::now()) {
        return std::make_unique<PhotoFiler>(
            PhotoFiler::Dependencies{journal.string(), clock, startedAt});
    }
    PhotoFiler::Photo photo(const std::string& item) {
        return {source.string(), item, FileStamp::of((source / item).string())};
    }
    // The journal's entry for item, from the source folder into destRoot.
    FilingEntry entry(const std::string& item, const fs::path& destRoot) const {
        FilingEntry e;
        e.root = source.string();
        e.item = item;
        e.destRoot = destRoot.string();
        if (auto stamp = FileStamp::of((source / item).string())) e.stamp = *stamp;
        return e;
    }
};

TEST(PhotoFilerTest, AnsweredPhotosGoWithTheirMoviesAndNothingElseMoves) {
    test::ScopedEnv tz("TZ", "UTC");
    using Kind = PhotoFiler::Result::Kind;
    enum class Change { None, SavedAnew, Removed };
    struct Row {
        const char* what;
        bool setAside;
        std::string sourceBefore, siteBefore;
        Change change;  // between the upload's start and the filing
        bool noMirror;
        Kind kind;
        std::string sourceAfter, siteAfter;
    };
    const std::vector<Row> rows = {
        {"accepted: replaces an earlier sitting's pair", false, "c/a.jpg=A,c/a.mov=M,c/b.jpg=B",
         "Mirror/c/a.jpg=old,Mirror/c/a.mov=old movie", Change::None, false, Kind::Filed,
         "c/,c/b.jpg=B", "Mirror/,Mirror/c/,Mirror/c/a.jpg=A,Mirror/c/a.mov=M"},
        {"set aside: never replaces", true, "c/a.jpg=A,c/a.mov=M", "Problem Folder/c/a.jpg=old",
         Change::None, false, Kind::Filed, "c/",
         "Problem Folder/,Problem Folder/c/,Problem Folder/c/a 20261206_141503.jpg=A,"
         "Problem Folder/c/a 20261206_141503.mov=M,Problem Folder/c/a.jpg=old"},
        {"saved anew while it was sent: stays to go again", false, "c/a.jpg=A,c/a.mov=M", "",
         Change::SavedAnew, false, Kind::ChangedSinceSent, "c/,c/a.jpg=A2,c/a.mov=M", ""},
        {"gone", false, "c/a.mov=M", "", Change::Removed, false, Kind::Gone, "c/,c/a.mov=M", ""},
        {"no mirror folder chosen", false, "c/a.jpg=A", "", Change::None, true, Kind::NoFolder,
         "c/,c/a.jpg=A", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FilerFixture f;
        plant(f.source, row.sourceBefore);
        plant(f.tmp / "Site", row.siteBefore);
        if (row.change == Change::Removed) test::writeFile(f.source / "c/a.jpg", "A");
        PhotoFiler::Photo p = f.photo("c/a.jpg");
        if (row.change == Change::SavedAnew) test::writeFile(f.source / "c/a.jpg", "A2");
        if (row.change == Change::Removed) fs::remove(f.source / "c/a.jpg");
        if (row.noMirror) f.folders = {};

        const PhotoFiler::Result r = row.setAside ? f.filer->fileSetAside(p, f.folders)
                                                  : f.filer->fileAccepted(p, f.folders);
        EXPECT_EQ(static_cast<int>(r.kind), static_cast<int>(row.kind)) << r.error;
        EXPECT_EQ(folderContents(f.source), row.sourceAfter);
        EXPECT_EQ(fs::exists(f.tmp / "Site") ? folderContents(f.tmp / "Site") : "", row.siteAfter);
        // Nothing is left for a later pass to file or to hold back.
        EXPECT_TRUE(f.filer->retryPending(f.source.string(), f.folders).waiting.empty());
    }
}

TEST(PhotoFilerTest, AMovieLeftBehindByAKillFollowsOnlyTheEntryOfItsOwnPhoto) {
    FilerFixture f;
    plant(f.source, "c/a.jpg=A,c/a.mov=M,c/b.mov=lone movie");
    plant(f.mirror, "c/b.jpg=earlier sitting,c/b.mov=earlier movie");
    // The photo was moved and written down as filed; the process died before the movie.
    FilingEntry entry = f.entry("c/a.jpg", f.mirror);
    entry.filedAs = "c/a.jpg";
    ASSERT_TRUE(f.filer->journal().record(entry));
    fs::rename(f.source / "c/a.jpg", f.mirror / "c/a.jpg");

    auto restarted = f.newFiler();
    EXPECT_EQ(restarted->retryPending(f.source.string(), f.folders).waiting.size(), 0u);
    EXPECT_EQ(folderContents(f.source), "c/,c/b.mov=lone movie");
    EXPECT_EQ(folderContents(f.mirror),
              "c/,c/a.jpg=A,c/a.mov=M,c/b.jpg=earlier sitting,c/b.mov=earlier movie");
}

TEST(PhotoFilerTest, TemporariesOfAnEarlierRunAreSweptOnceAndOursAreKept) {
    FilerFixture f;
    plant(f.mirror, "c/.vorn-move-Ab12Cd=half a photo,c/.vorn-moved-by-someone=not ours");
    plant(f.problem, "x/.vorn-move-Zz99Yy=half a movie");
    const SystemTime started = std::chrono::system_clock::now() + std::chrono::seconds(5);
    auto filer = f.newFiler(started);
    filer->sweepAtStart(f.folders);
    EXPECT_EQ(folderContents(f.mirror), "c/,c/.vorn-moved-by-someone=not ours");
    EXPECT_EQ(folderContents(f.problem), "x/");
    // Once per process: a temporary of a move of ours, under way, is never taken.
    test::writeFile(f.mirror / "c/.vorn-move-Ef34Gh", "ours");
    filer->retryPending(f.source.string(), f.folders);
    EXPECT_TRUE(fs::exists(f.mirror / "c/.vorn-move-Ef34Gh"));
}

// A source folder the uploader may read but not write, on another file system than the
// mirror: the accepted photo is filed once, its source copy is left alone and never sent or
// copied again, and nothing that was in the mirror goes missing.
TEST(FilingJournal, APhotoWhoseSourceCannotBeRemovedIsFiledOnceAndNeverSentAgain) {
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to check as an unprivileged user";
    FilerFixture f;
    test::OtherFileSystemDir mirror(f.tmp.path());
    ASSERT_TRUE(mirror.available()) << mirror.whyNot();
    writeFile(f.source / "client/a.jpg", "photo a");
    writeFile(f.source / "client/a.mov", "movie a");
    writeFile(mirror / "client/a.jpg", "an older sitting");
    fs::create_directories(f.tmp / "state");
    for (const fs::path& p : {f.tmp.path(), f.source, f.source / "client"})
        ::chmod(p.c_str(), 0755);
    for (const fs::path& p : {mirror.path(), mirror / "client", f.tmp / "state"})
        ::chmod(p.c_str(), 0777);
    const FilingEntry entry = f.entry("client/a.jpg", mirror.path());
    EXPECT_EQ(test::runAsNobody([&] {
                  FilingJournal j(f.journal);
                  if (!j.record(entry)) return 9;
                  const FileMoveResult r = j.file(entry, *f.clock);
                  return r && r.sourceLeft ? 2 : r ? 1 : 0;
              }),
              2)
        << "filed, the source copy reported as left";
    EXPECT_EQ(readFile(mirror / "client/a.jpg"), "photo a");
    EXPECT_EQ(readFile(mirror / "client/a.mov"), "movie a");
    EXPECT_EQ(readFile(f.source / "client/a.jpg"), "photo a");

    // Later passes neither copy it again nor let the scan send it.
    const auto filed = FileStamp::of(mirror / "client/a.jpg");
    EXPECT_EQ(test::runAsNobody([&] {
                  FilingJournal j(f.journal);
                  const bool quiet = j.retryAll(*f.clock).empty();
                  return quiet && j.waitingItems(f.source) == std::set<std::string>{"client/a.jpg"};
              }),
              1);
    EXPECT_EQ(FileStamp::of(mirror / "client/a.jpg"), filed);

    // Once the source copy is taken away, the journal forgets it.
    fs::remove(f.source / "client/a.jpg");
    FilingJournal j(f.journal);
    EXPECT_TRUE(j.retryAll(*f.clock).empty());
    EXPECT_TRUE(j.waitingItems(f.source).empty());
    EXPECT_TRUE(j.entries().empty());
}

// A journal that cannot be read is kept aside, never written over, and the log says so.
TEST(FilingJournal, AnUnreadableJournalIsKeptAside) {
    test::ScopedEnv tz("TZ", "UTC");
    FilerFixture f;
    const std::string cutOff = "<?xml version=\"1.0\"?><plist><array><dict><key>root</key>";
    writeFile(f.journal, cutOff);
    test::CapturedOutput err(2);
    FilingJournal journal(f.journal, f.clock);
    EXPECT_TRUE(journal.entries().empty());
    const FilingEntry entry = f.entry("client/b.jpg", f.mirror);
    ASSERT_TRUE(journal.record(entry));

    const fs::path aside = f.tmp / "state/FilingJournal.plist.unreadable-20261206_141503";
    EXPECT_EQ(readFile(aside), cutOff);
    EXPECT_NE(err.text().find("could not be read"), std::string::npos) << err.text();
    EXPECT_NE(err.text().find(aside.string()), std::string::npos) << err.text();
    EXPECT_EQ(FilingJournal(f.journal).waitingItems(entry.root),
              std::set<std::string>{"client/b.jpg"});
}

}  // namespace
}  // namespace vorn
