#include "platform/SafeMove.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "platform/FileTimes.h"
#include "support/OtherFileSystem.h"
#include "support/RunAsUser.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

std::string photoBytes(size_t size) {
    std::string b(size, '\0');
    std::mt19937 random(7);
    for (auto& c : b) c = static_cast<char>(random());
    return b;
}

std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs the move (or the replacement) in a child process that dies without any clean-up at the
// given step, the way a crash or power cut would stop it.
void interruptedAt(SafeMoveStep step, const fs::path& from, const fs::path& to,
                   bool replace = false) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        SafeMoveHook die = [step](SafeMoveStep s) {
            if (s == step) ::_exit(42);
        };
        replace ? replaceItemSafely(from, to, nullptr, &die)
                : moveItemSafely(from, to, nullptr, &die);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42) << "the move never reached the step";
}

// Losing a photo on the way to the mirror folder is data lost: no silent skip.
class SafeMoveTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(other.available()) << other.whyNot(); }
    test::TempDir tmp;
    test::OtherFileSystemDir other{tmp.path()};
};

TEST_F(SafeMoveTest, NeverReplacesAndLeavesEverythingAsItWas) {
    for (const fs::path& destFolder : {tmp / "dest", other.path()}) {
        SCOPED_TRACE(destFolder);
        writeFile(tmp / "src/a.jpg", "new photo");
        writeFile(destFolder / "a.jpg", "old photo");
        std::string error;
        EXPECT_FALSE(moveItemSafely(tmp / "src/a.jpg", destFolder / "a.jpg", &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(readFile(tmp / "src/a.jpg"), "new photo");
        EXPECT_EQ(readFile(destFolder / "a.jpg"), "old photo");
        EXPECT_EQ(entries(destFolder), std::vector<std::string>{"a.jpg"});

        // A missing destination folder is not made up.
        EXPECT_FALSE(moveItemSafely(tmp / "src/a.jpg", destFolder / "missing/a.jpg"));
        EXPECT_EQ(readFile(tmp / "src/a.jpg"), "new photo");
        fs::remove(destFolder / "a.jpg");
    }
}

TEST_F(SafeMoveTest, MovesAcrossFileSystemsAsOneCompleteCopy) {
    const std::string bytes = photoBytes(3 * 1024 * 1024 + 17);
    writeFile(tmp / "src/x.jpg", bytes);
    ::chmod((tmp / "src/x.jpg").c_str(), 0640);
    const struct timespec times[2] = {{1290780309, 5}, {1290780309, 5}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "src/x.jpg").c_str(), times, 0), 0);

    std::string error;
    ASSERT_TRUE(moveItemSafely(tmp / "src/x.jpg", other / "x.jpg", &error)) << error;
    EXPECT_FALSE(fs::exists(tmp / "src/x.jpg"));
    EXPECT_EQ(readFile(other / "x.jpg"), bytes);
    EXPECT_EQ(entries(other.path()), std::vector<std::string>{"x.jpg"}) << "temporary left";
    // The modification date ages the photo where the file system keeps no birth time.
    EXPECT_EQ(fileModificationTime(other / "x.jpg"),
              SystemTime(std::chrono::seconds(1290780309) + std::chrono::nanoseconds(5)));
    EXPECT_EQ(fs::status(other / "x.jpg").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    // Files only: a folder stays where it is.
    writeFile(tmp / "src/folder/x.jpg", "photo");
    EXPECT_FALSE(moveItemSafely(tmp / "src/folder", other / "folder"));
    EXPECT_EQ(readFile(tmp / "src/folder/x.jpg"), "photo");
    EXPECT_FALSE(fs::exists(other / "folder"));
}

TEST_F(SafeMoveTest, AnInterruptedMoveNeverLosesThePhotoNorShowsHalfOfIt) {
    const std::string bytes = photoBytes(1024 * 1024);

    // Stopped after the copy: the source is whole and the final name is still free.
    writeFile(tmp / "src/a.jpg", bytes);
    interruptedAt(SafeMoveStep::Copied, tmp / "src/a.jpg", other / "a.jpg");
    EXPECT_EQ(readFile(tmp / "src/a.jpg"), bytes);
    EXPECT_FALSE(fs::exists(other / "a.jpg"));
    for (const auto& name : entries(other.path())) EXPECT_EQ(name[0], '.') << name;

    // Stopped after placing: two whole copies, never none.
    writeFile(tmp / "src/b.jpg", bytes);
    interruptedAt(SafeMoveStep::Placed, tmp / "src/b.jpg", other / "b.jpg");
    EXPECT_EQ(readFile(tmp / "src/b.jpg"), bytes);
    EXPECT_EQ(readFile(other / "b.jpg"), bytes);

    // The next attempt of the first move completes.
    ASSERT_TRUE(moveItemSafely(tmp / "src/a.jpg", other / "a.jpg"));
    EXPECT_EQ(readFile(other / "a.jpg"), bytes);
    EXPECT_FALSE(fs::exists(tmp / "src/a.jpg"));
}

TEST_F(SafeMoveTest, APhotoSavedAnewDuringACopyStaysAndAnOlderCopyGoesOnlyForAWholeOne) {
    const std::string sent = photoBytes(512 * 1024);

    // The capture software saves the photo again while it is copied: the copy is of the version
    // that was sent, and the new version stays in the source folder.
    writeFile(tmp / "src/a.jpg", sent);
    std::string error;
    ASSERT_TRUE(moveItemSafely(tmp / "src/a.jpg", other / "a.jpg", &error, [&](SafeMoveStep s) {
        if (s != SafeMoveStep::Copied) return;
        writeFile(tmp / "src/a.jpg.tmp", "saved again");
        fs::rename(tmp / "src/a.jpg.tmp", tmp / "src/a.jpg");
    })) << error;
    EXPECT_EQ(readFile(other / "a.jpg"), sent);
    EXPECT_EQ(readFile(tmp / "src/a.jpg"), "saved again");

    // Replacing a copy in the mirror folder: cut short, the older copy is still whole; done,
    // the new one is there.
    writeFile(tmp / "src/b.jpg", sent);
    writeFile(other / "b.jpg", "older copy");
    interruptedAt(SafeMoveStep::Copied, tmp / "src/b.jpg", other / "b.jpg", true);
    EXPECT_EQ(readFile(other / "b.jpg"), "older copy");
    EXPECT_EQ(readFile(tmp / "src/b.jpg"), sent);
    ASSERT_TRUE(replaceItemSafely(tmp / "src/b.jpg", other / "b.jpg", &error)) << error;
    EXPECT_EQ(readFile(other / "b.jpg"), sent);
    EXPECT_FALSE(fs::exists(tmp / "src/b.jpg"));
    // Beside the photos, only the temporary of the move cut short.
    const std::vector<std::string> left = entries(other.path());
    EXPECT_EQ(left.size(), 3u);
    EXPECT_EQ(left.front().rfind(".vorn-move-", 0), 0u) << left.front();
}

// A source folder the uploader may read but not write (a read-only share): once the new copy is
// whole in place, the photo is filed; the source stays and so does the copy, never neither.
TEST_F(SafeMoveTest, ASourceThatCannotBeRemovedLeavesBothCopies) {
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to check as an unprivileged user";
    const std::string bytes = photoBytes(256 * 1024);
    ::chmod(tmp.path().c_str(), 0755);
    ::chmod(other.path().c_str(), 0777);
    for (bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replacing an older copy" : "to a free name");
        writeFile(tmp / "src/a.jpg", bytes);
        ::chmod((tmp / "src").c_str(), 0755);  // not writable by the unprivileged user
        ::chmod((tmp / "src/a.jpg").c_str(), 0644);
        if (replace) writeFile(other / "a.jpg", "older copy");
        const std::string from = tmp / "src/a.jpg", to = other / "a.jpg";
        const auto result = test::runAsNobody([&] {
            std::string error;
            const SafeMoveResult r =
                replace ? replaceItemSafely(from, to, &error) : moveItemSafely(from, to, &error);
            if (r.sourceLeft() && error.find("could not be removed") != std::string::npos) return 2;
            return r ? 1 : 0;
        });
        EXPECT_EQ(result, 2) << "filed, the source left";
        EXPECT_TRUE(fs::exists(to) && readFile(to) == bytes) << "the new copy";
        EXPECT_TRUE(readFile(from) == bytes) << "the source";
        EXPECT_EQ(entries(other.path()), std::vector<std::string>{"a.jpg"}) << "temporary left";
        fs::remove(to);
    }
}

}  // namespace
}  // namespace vorn
