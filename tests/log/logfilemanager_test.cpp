#include "log/KDLogFileManager.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/FileTimes.h"
#include "platform/PlatformLog.h"
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

    // The exact age: a log older than the days kept goes, one a day younger stays; 0 keeps one.
    using std::chrono::hours, std::chrono::seconds;
    const hours day(24);
    struct Row {
        int daysKept;
        SystemTime::duration age;
        bool goes;
    };
    const Row rows[] = {
        {14, 14 * day + seconds(1), true},
        {14, 14 * day - seconds(1), false},
        {14, 13 * day + seconds(1), false},
        {3, 3 * day + seconds(1), true},
        {3, 2 * day + seconds(1), false},
        {0, day + seconds(1), true},
        {0, seconds(1), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.daysKept << " days kept, age "
                                        << std::chrono::duration_cast<seconds>(row.age).count());
        const fs::path log = logs / "vorn-uploader_2010_10_01.log";
        writeFile(log, "aged");
        const auto born = fileDateForAging(log.string());
        ASSERT_TRUE(born);
        clock->set(*born + row.age);
        KDLogFileManager::deleteOldLogs(row.daysKept);
        EXPECT_EQ(!fs::exists(log), row.goes);
    }
}

// A run that goes on for days writes each day into that day's file and cleans old logs as each
// day begins, not only at launch.
TEST_F(LogFileManagerTest, ALongRunFollowsTheDayAndCleansOldLogsDaily) {
    using namespace std::chrono;
    const fs::path logs = tmp / "state/logs";
    writeFile(logs / "vorn-uploader_2000_01_01.log", "old");
    const SystemTime born = *fileDateForAging((logs / "vorn-uploader_2000_01_01.log").string());
    // The next 03:00 (UTC here) after t.
    auto nextTurn = [](SystemTime t) {
        SystemTime turn = floor<days>(t) + hours(3);
        return turn <= t ? turn + days(1) : turn;
    };
    test::CapturedOutput keep(2);
    const SystemTime launch = born + hours(1);
    clock->set(launch);
    ASSERT_TRUE(KDLogFileManager::setupLogFile());
    KDLogFileManager::deleteOldLogs(3);  // at launch: nothing is old yet
    logAt(LogLevel::Warn, "before the turn");

    clock->set(nextTurn(launch));
    logAt(LogLevel::Warn, "after the turn");
    flushLog();
    const std::string first = readFile(KDLogFileManager::logFilePathFor(launch));
    const std::string second = readFile(KDLogFileManager::logFilePathFor(clock->now()));
    EXPECT_NE(first.find("before the turn"), std::string::npos) << first;
    EXPECT_EQ(first.find("after the turn"), std::string::npos) << first;
    EXPECT_NE(second.find("vorn-uploader => "), std::string::npos) << "a header: " << second;
    EXPECT_NE(second.find("after the turn"), std::string::npos) << second;
    EXPECT_EQ(KDLogFileManager::currentLogFilePath(),
              KDLogFileManager::logFilePathFor(clock->now()));
    EXPECT_TRUE(fs::exists(logs / "vorn-uploader_2000_01_01.log"));

    // Days later (every file here was born at the start): the first line of the day cleans.
    clock->set(nextTurn(born + days(3) + hours(1)));
    logAt(LogLevel::Warn, "days later");
    flushLog();
    EXPECT_FALSE(fs::exists(logs / "vorn-uploader_2000_01_01.log"));
    EXPECT_EQ(readFile(tmp / "home/.local/share/Trash/files/vorn-uploader_2000_01_01.log"), "old");
    EXPECT_NE(readFile(KDLogFileManager::logFilePathFor(clock->now())).find("days later"),
              std::string::npos);
}

}  // namespace
}  // namespace vorn
