#include "log/KDLogFileManager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "support/CapturedOutput.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::readFile;
using test::utc;
using test::writeFile;

class LogFileManagerTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    test::ScopedEnv tz{"TZ", "UTC"};
    test::ScopedEnv home{"HOME", (tmp / "home").string()};
    test::ScopedEnv data{"XDG_DATA_HOME", (tmp / "home/.local/share").string()};
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>(utc(2010, 11, 26, 10, 0, 0));
    void SetUp() override { KDLogFileManager::configure((tmp / "state").string(), clock); }
    void TearDown() override { KDLogFileManager::configure("", nullptr); }
};

TEST_F(LogFileManagerTest, TheDayOfTheLogFileTurnsAtThreeInTheMorning) {
    const std::string logs = (tmp / "state/logs").string();
    EXPECT_EQ(KDLogFileManager::logFolder(), logs);
    const std::pair<SystemTime, const char*> cases[] = {
        {utc(2010, 11, 26, 2, 59, 59), "/vorn-uploader_2010_11_25.log"},
        {utc(2010, 11, 26, 3, 0, 0), "/vorn-uploader_2010_11_26.log"},
        {utc(2011, 1, 1, 2, 30, 0), "/vorn-uploader_2010_12_31.log"},
        {utc(2010, 3, 1, 1, 0, 0), "/vorn-uploader_2010_02_28.log"},
    };
    for (const auto& [t, name] : cases) EXPECT_EQ(KDLogFileManager::logFilePathFor(t), logs + name);
}

TEST_F(LogFileManagerTest, DefaultFoldersFollowTheXdgStateHome) {
    KDLogFileManager::configure("", nullptr);
    {
        test::ScopedEnv state("XDG_STATE_HOME", (tmp / "xdg-state").string());
        EXPECT_EQ(KDLogFileManager::logDirectory(), (tmp / "xdg-state/vorn").string());
    }
    test::ScopedEnv relative("XDG_STATE_HOME", "relative/ignored");
    EXPECT_EQ(KDLogFileManager::logDirectory(), (tmp / "home/.local/state/vorn").string());
}

TEST_F(LogFileManagerTest, StandardErrorGoesIntoTheDatedFileAcrossLaunches) {
    clock->set(utc(2010, 11, 26, 2, 30, 0));
    const fs::path file = tmp / "state/logs/vorn-uploader_2010_11_25.log";
    for (int launch = 0; launch < 2; ++launch) {
        test::CapturedOutput keep(2);  // puts the test's standard error back afterwards
        ASSERT_TRUE(KDLogFileManager::setupLogFile());
        EXPECT_EQ(KDLogFileManager::currentLogFilePath(), file.string());
        std::fprintf(stderr, "launch %d\n", launch);
        EXPECT_EQ(keep.text(), "");  // nothing went to the old standard error
    }
    // Appended, not replaced: both launches are in the file, in order.
    const std::string text = readFile(file);
    EXPECT_LT(text.find("launch 0\n"), text.find("launch 1\n")) << text;
    EXPECT_NE(text.find("launch 1\n"), std::string::npos) << text;
}

TEST_F(LogFileManagerTest, AnUnusableLogFolderLeavesStandardErrorAlone) {
    writeFile(tmp / "state", "a file where the folder should be");
    test::CapturedOutput err(2);
    EXPECT_TRUE(KDLogFileManager::setupLogFile());
    std::fprintf(stderr, "still here\n");
    EXPECT_NE(err.text().find("still here\n"), std::string::npos);
}

TEST_F(LogFileManagerTest, OldLogsGoToTheTrashAndOldConsoleFilesAreDeleted) {
    const fs::path logs = tmp / "state/logs";
    const fs::path docs = tmp / "home/Documents";
    const fs::path trash = tmp / "home/.local/share/Trash/files";
    writeFile(logs / "sub/VORN-UPLOADER_2010_11_01.log", "old, other case, sub-folder");
    writeFile(logs / "vorn-uploader_2010_11_02.log", "old");
    writeFile(logs / "other_2010_11_01.log", "not ours");
    writeFile(docs / "myConsole.Log", "console");
    writeFile(docs / "sub/myConsole.txt", "deeper");
    writeFile(docs / "notes.txt", "notes");

    // The files were born now; a clock ten days on with 14 days to keep finds nothing old.
    clock->set(SystemTime::clock::now() + std::chrono::hours(24 * 10));
    KDLogFileManager::deleteOldLogs(14);
    EXPECT_TRUE(fs::exists(logs / "vorn-uploader_2010_11_02.log"));
    EXPECT_TRUE(fs::exists(docs / "myConsole.Log"));

    clock->set(SystemTime::clock::now() + std::chrono::hours(24 * 30));
    KDLogFileManager::deleteOldLogs(14);
    EXPECT_EQ(readFile(trash / "VORN-UPLOADER_2010_11_01.log"), "old, other case, sub-folder");
    EXPECT_EQ(readFile(trash / "vorn-uploader_2010_11_02.log"), "old");
    EXPECT_TRUE(fs::is_directory(logs / "sub"));
    EXPECT_FALSE(fs::exists(logs / "sub/VORN-UPLOADER_2010_11_01.log"));
    EXPECT_EQ(readFile(logs / "other_2010_11_01.log"), "not ours");

    EXPECT_FALSE(fs::exists(docs / "myConsole.Log"));
    EXPECT_FALSE(fs::exists(trash / "myConsole.Log"));  // deleted, not trashed
    EXPECT_EQ(readFile(docs / "sub/myConsole.txt"), "deeper");
    EXPECT_EQ(readFile(docs / "notes.txt"), "notes");
}

}  // namespace
}  // namespace vorn
