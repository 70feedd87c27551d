#include "platform/Trash.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/OtherFileSystem.h"
#include "support/RunAsUser.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::readFile;
using test::utc;
using test::writeFile;

class TrashTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    test::ScopedEnv tz{"TZ", "UTC"};
    test::ScopedEnv data{"XDG_DATA_HOME", (tmp / "data").string()};
    FixedClock clock{utc(2010, 11, 26, 14, 5, 9)};
    fs::path files() const { return tmp / "data/Trash/files"; }
    fs::path info() const { return tmp / "data/Trash/info"; }
};

TEST_F(TrashTest, TakenNamesGetATimeStampAndTheInfoSaysWhereFromAndWhen) {
    const std::pair<const char*, std::string> cases[] = {
        {"first", "log.txt"},
        {"second", "log.txt 20101126_140509"},
        {"third", "log.txt 20101126_140509 2"},
    };
    for (const auto& [content, expectedName] : cases) {
        SCOPED_TRACE(expectedName);
        writeFile(tmp / "src/log.txt", content);
        std::string trashed;
        ASSERT_TRUE(moveToTrash((tmp / "src/log.txt").string(), clock, &trashed));
        EXPECT_EQ(fs::path(trashed), files() / expectedName);
        EXPECT_FALSE(fs::exists(tmp / "src/log.txt"));
        EXPECT_TRUE(fs::exists(info() / (expectedName + ".trashinfo")));
    }
    // Nothing was replaced: every version is still there with its own bytes.
    for (const auto& [content, name] : cases) EXPECT_EQ(readFile(files() / name), content);
    // The trash folders are private.
    for (const auto& p : {tmp / "data/Trash", files(), info()})
        EXPECT_EQ(fs::status(p).permissions(), fs::perms::owner_all) << p;

    // Where the item came from and when; folders too.
    writeFile(tmp / "src/my file%.txt", "x");
    ASSERT_TRUE(moveToTrash((tmp / "src/./my file%.txt").string(), clock));
    const std::string expectedPath = (tmp / "src").string() + "/my%20file%25.txt";
    EXPECT_EQ(readFile(info() / "my file%.txt.trashinfo"),
              "[Trash Info]\nPath=" + expectedPath + "\nDeletionDate=2010-11-26T14:05:09\n");

    writeFile(tmp / "src/folder/inner/a.jpg", "a");
    ASSERT_TRUE(moveToTrash((tmp / "src/folder/").string(), clock));
    EXPECT_EQ(readFile(files() / "folder/inner/a.jpg"), "a");
    EXPECT_FALSE(fs::exists(tmp / "src/folder"));

    // A missing item leaves no trash info behind.
    EXPECT_FALSE(moveToTrash((tmp / "nothing.txt").string(), clock));
    EXPECT_FALSE(fs::exists(info() / "nothing.txt.trashinfo"));
}

TEST_F(TrashTest, TrashesFromAnotherFileSystem) {
    test::OtherFileSystemDir other(tmp.path());
    // A log lost on the way to the trash is data lost: no silent skip.
    ASSERT_TRUE(other.available()) << other.whyNot();
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 % 251);
    writeFile(other / "log.txt", bytes);
    std::string trashed;
    ASSERT_TRUE(moveToTrash((other / "log.txt").string(), clock, &trashed));
    EXPECT_EQ(readFile(trashed), bytes);
    EXPECT_FALSE(fs::exists(other / "log.txt"));

    // From a folder the user may not write, the item stays and the trash keeps no copy of it.
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to check as an unprivileged user";
    writeFile(other / "kept/log.txt", "kept");
    for (const fs::path& p : {tmp.path(), other.path(), other / "kept"}) ::chmod(p.c_str(), 0755);
    for (const fs::path& p : {tmp / "data", tmp / "data/Trash", files(), info()})
        ::chmod(p.c_str(), 0777);
    const std::string kept = other / "kept/log.txt";
    EXPECT_EQ(test::runAsNobody([&] { return moveToTrash(kept, clock) ? 1 : 0; }), 0);
    EXPECT_EQ(readFile(kept), "kept");
    EXPECT_FALSE(fs::exists(files() / "log.txt 20101126_140509"));
    EXPECT_EQ(std::distance(fs::directory_iterator(files()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vorn
