// Filing answered photos through the journal: where photo and movie go, what is never filed,
// and what a filing cut short by a kill leaves for the next pass.

#include "files/PhotoFiler.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/FolderLayout.h"
#include "support/ScopedEnv.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::folderContents;
using test::plant;

struct FilerFixture {
    test::TempDir tmp;
    fs::path source = tmp / "Upload", mirror = tmp / "Site/Mirror",
             problem = tmp / "Site/Problem Folder";
    PhotoFiler::Folders folders{mirror.string(), problem.string()};
    std::shared_ptr<FixedClock> clock =
        std::make_shared<FixedClock>(test::utc(2026, 12, 6, 14, 15, 3));
    std::unique_ptr<PhotoFiler> filer = newFiler();

    // As after a restart: the same journal, a new process.
    std::unique_ptr<PhotoFiler> newFiler(SystemTime startedAt = std::chrono::system_clock::now()) {
        return std::make_unique<PhotoFiler>(PhotoFiler::Dependencies{
            (tmp / "state/FilingJournal.plist").string(), clock, startedAt});
    }
    PhotoFiler::Photo photo(const std::string& item) {
        return {source.string(), item, FileStamp::of((source / item).string())};
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
    FilingEntry entry;
    entry.root = f.source.string();
    entry.item = "c/a.jpg";
    entry.destRoot = f.mirror.string();
    entry.stamp = *FileStamp::of((f.source / "c/a.jpg").string());
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

}  // namespace
}  // namespace vorn
