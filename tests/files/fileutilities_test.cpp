#include "files/FileUtilities.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/FileTimes.h"
#include "support/CapturedOutput.h"
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

TEST(FileUtilities, DirectoryEmptinessAndWhatAUserWithoutRightsMayTrash) {
    test::TempDir tmp;
    test::ScopedEnv data("XDG_DATA_HOME", (tmp / "data").string());
    struct Case {
        const char* name;
        std::vector<std::string> files;
        bool empty;
    };
    const Case cases[] = {
        {"nothing", {}, true},
        {"only .DS_Store", {".DS_Store"}, true},
        {"a sub-folder", {"sub/.keep"}, false},
        {"another hidden file", {".hidden"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path dir = tmp / c.name;
        fs::create_directories(dir);
        for (const auto& f : c.files) writeFile(dir / f, "x");
        EXPECT_EQ(isDirectoryEmpty(dir), c.empty);
    }
    EXPECT_FALSE(isDirectoryEmpty(tmp / "missing"));
    writeFile(tmp / "file", "kept");
    EXPECT_FALSE(isDirectoryEmpty(tmp / "file"));

    // To a user without rights, a folder it cannot read is not empty, and a file in a folder it
    // may not write stays where it is.
    if (!test::canRunAsNobody()) GTEST_SKIP() << "needs root to check as an unprivileged user";
    ::chmod(tmp.path().c_str(), 0755);
    fs::create_directories(tmp / "locked");
    fs::create_directories(tmp / "open");
    ::chmod((tmp / "locked").c_str(), 0700);
    ::chmod((tmp / "open").c_str(), 0755);
    const std::string locked = tmp / "locked", open = tmp / "open", kept = tmp / "file";
    EXPECT_EQ(test::runAsNobody([&] { return isDirectoryEmpty(locked) ? 1 : 0; }), 0);
    EXPECT_EQ(test::runAsNobody([&] { return isDirectoryEmpty(open) ? 1 : 0; }), 1);
    EXPECT_EQ(test::runAsNobody([&] {
                  test::CapturedOutput err(2);
                  moveFileToUserTrash(kept);
                  return err.text().find("is NOT deletable...") != std::string::npos ? 0 : 1;
              }),
              0);
    EXPECT_EQ(readFile(kept), "kept");
}

TEST(FileUtilities, AgeTestUsesTheFileDateAndEqualIsNotEarlier) {
    test::TempDir tmp;
    const fs::path file = tmp / "x.jpg";
    writeFile(file, "x");
    // An old modification date does not make a file born now old.
    test::setModificationTime(file, utc(2000, 1, 1, 0, 0, 0));
    auto date = fileDateForAging(file);
    ASSERT_TRUE(date);
    EXPECT_EQ(date, fileBirthTime(file));

    EXPECT_FALSE(itemIsEarlierThan(file, *date));
    EXPECT_TRUE(itemIsEarlierThan(file, *date + std::chrono::nanoseconds(1)));
    EXPECT_FALSE(itemIsEarlierThan(file, *date - std::chrono::seconds(1)));
    EXPECT_FALSE(itemIsEarlierThan(tmp / "missing.jpg", *date + std::chrono::hours(1)));
}

}  // namespace
}  // namespace vorn
