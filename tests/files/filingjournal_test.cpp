#include "files/FilingJournal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/CapturedOutput.h"
#include "support/OtherFileSystem.h"
#include "support/RunAsUser.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

// A source folder the uploader may read but not write, on another file system than the
// mirror: the accepted photo is filed once, its source copy is left alone and never sent or
// copied again, and nothing that was in the mirror goes missing.
TEST(FilingJournal, APhotoWhoseSourceCannotBeRemovedIsFiledOnceAndNeverSentAgain) {
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to check as an unprivileged user";
    test::TempDir tmp;
    test::OtherFileSystemDir mirror(tmp.path());
    ASSERT_TRUE(mirror.available()) << mirror.whyNot();
    const fs::path source = tmp / "src";
    writeFile(source / "client/a.jpg", "photo a");
    writeFile(source / "client/a.mov", "movie a");
    writeFile(mirror / "client/a.jpg", "an older sitting");
    fs::create_directories(tmp / "state");
    for (const fs::path& p : {tmp.path(), source, source / "client"}) ::chmod(p.c_str(), 0755);
    for (const fs::path& p : {mirror.path(), mirror / "client", tmp / "state"})
        ::chmod(p.c_str(), 0777);
    const std::string journal = tmp / "state/FilingJournal.plist";
    const FixedClock clock(test::utc(2026, 12, 6, 14, 15, 3));

    FilingEntry entry;
    entry.root = source;
    entry.item = "client/a.jpg";
    entry.destRoot = mirror.path();
    entry.stamp = *FileStamp::of(source / "client/a.jpg");
    EXPECT_EQ(test::runAsNobody([&] {
                  FilingJournal j(journal);
                  if (!j.record(entry)) return 9;
                  const FileMoveResult r = j.file(entry, clock);
                  return r && r.sourceLeft ? 2 : r ? 1 : 0;
              }),
              2)
        << "filed, the source copy reported as left";
    EXPECT_EQ(readFile(mirror / "client/a.jpg"), "photo a");
    EXPECT_EQ(readFile(mirror / "client/a.mov"), "movie a");
    EXPECT_EQ(readFile(source / "client/a.jpg"), "photo a");

    // Later passes neither copy it again nor let the scan send it.
    const auto filed = FileStamp::of(mirror / "client/a.jpg");
    EXPECT_EQ(test::runAsNobody([&] {
                  FilingJournal j(journal);
                  const bool quiet = j.retryAll(clock).empty();
                  return quiet && j.waitingItems(source) == std::set<std::string>{"client/a.jpg"};
              }),
              1);
    EXPECT_EQ(FileStamp::of(mirror / "client/a.jpg"), filed);

    // Once the source copy is taken away, the journal forgets it.
    fs::remove(source / "client/a.jpg");
    FilingJournal j(journal);
    EXPECT_TRUE(j.retryAll(clock).empty());
    EXPECT_TRUE(j.waitingItems(source).empty());
    EXPECT_TRUE(j.entries().empty());
}

// A journal that cannot be read is kept aside, never written over, and the log says so.
TEST(FilingJournal, AnUnreadableJournalIsKeptAside) {
    test::TempDir tmp;
    test::ScopedEnv tz("TZ", "UTC");
    const fs::path path = tmp / "state/FilingJournal.plist";
    writeFile(path, "<?xml version=\"1.0\"?><plist><array><dict><key>root</key>");
    const auto clock = std::make_shared<FixedClock>(test::utc(2026, 12, 6, 14, 15, 3));
    test::CapturedOutput err(2);
    FilingJournal journal(path, clock);
    EXPECT_TRUE(journal.entries().empty());
    FilingEntry entry;
    entry.root = (tmp / "src").string();
    entry.item = "client/b.jpg";
    entry.destRoot = (tmp / "mirror").string();
    ASSERT_TRUE(journal.record(entry));

    const fs::path aside = tmp / "state/FilingJournal.plist.unreadable-20261206_141503";
    EXPECT_EQ(readFile(aside), "<?xml version=\"1.0\"?><plist><array><dict><key>root</key>");
    EXPECT_NE(err.text().find("could not be read"), std::string::npos) << err.text();
    EXPECT_NE(err.text().find(aside.string()), std::string::npos) << err.text();
    EXPECT_EQ(FilingJournal(path).waitingItems(entry.root), std::set<std::string>{"client/b.jpg"});
}

}  // namespace
}  // namespace vorn
