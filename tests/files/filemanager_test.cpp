#include "files/KDW_FileManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "support/CapturedOutput.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using Files = std::map<std::string, std::string>;  // relative path -> content

using test::utc;
// Every file below root with its content; folders appear with a trailing "/".
Files tree(const fs::path& root) {
    Files out;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        if (e.is_directory()) {
            out[rel + "/"] = "";
        } else {
            out[rel] = readFile(e.path());
        }
    }
    return out;
}

void plant(const fs::path& root, const Files& files) {
    for (const auto& [rel, content] : files) {
        if (!rel.empty() && rel.back() == '/') {
            fs::create_directories(root / rel);
        } else {
            writeFile(root / rel, content);
        }
    }
}

TEST(KDW_FileManager, CompanionMovieItem) {
    const std::pair<const char*, const char*> cases[] = {
        {"client/IMG_0001.jpg", "client/IMG_0001.mov"},
        {"a.b/x", "a.b/x.mov"},
        {"x.tar.gz", "x.tar.mov"},
        {"noext", "noext.mov"},
    };
    for (const auto& [item, movie] : cases)
        EXPECT_EQ(KDW_FileManager::companionMovieItem(item), movie);
}

TEST(KDW_FileManager, MovesKeepTheRelativePath) {
    struct Case {
        const char* name;
        Files source, dest;
        std::vector<const char*> items;
        bool overwrite;
        Files sourceAfter, destAfter;
    };
    const Case cases[] = {
        {"photo and movie, the mirror copy replaced",
         {{"client/IMG_0001.jpg", "new"}, {"client/IMG_0001.mov", "movie"}},
         {{"client/IMG_0001.jpg", "old"}},
         {"client/IMG_0001.jpg", "client/IMG_0001.mov"},
         true,
         {{"client/", ""}},
         {{"client/", ""}, {"client/IMG_0001.jpg", "new"}, {"client/IMG_0001.mov", "movie"}}},
        {"a folder as item makes its counterpart only",
         {{"client/a.jpg", "a"}},
         {},
         {"client"},
         true,
         {{"client/", ""}, {"client/a.jpg", "a"}},
         {{"client/", ""}}},
        {"a taken name without overwrite stays",
         {{"client/x.jpg", "new"}},
         {{"client/x.jpg", "old"}},
         {"client/x.jpg"},
         false,
         {{"client/", ""}, {"client/x.jpg", "new"}},
         {{"client/", ""}, {"client/x.jpg", "old"}}},
        {"a name that climbs out of its folder is refused",
         {{"x.jpg", "x"}},
         {{"client/", ""}},
         {"client/../../outside.jpg"},
         true,
         {{"x.jpg", "x"}},
         {{"client/", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir tmp;
        plant(tmp / "src", c.source);
        fs::create_directories(tmp / "src");
        plant(tmp / "mirror", c.dest);
        test::CapturedOutput quiet(2);
        for (const char* item : c.items) {
            KDW_FileManager::moveFileToPath(item, (tmp / "src").string(), (tmp / "mirror").string(),
                                            c.overwrite, false);
        }
        EXPECT_EQ(tree(tmp / "src"), c.sourceAfter);
        EXPECT_EQ(tree(tmp / "mirror"), c.destAfter);
        EXPECT_FALSE(fs::exists(tmp / "outside.jpg"));
    }
}

TEST(KDW_FileManager, SettingAsideFilesPhotoAndMovieUnderAFreeName) {
    test::ScopedEnv tz("TZ", "UTC");
    const FixedClock clock(utc(2026, 12, 6, 14, 15, 3));
    struct Case {
        const char* name;
        Files source, problem;
        const char* item;
        std::optional<std::string> filedAs;
        Files sourceAfter, problemAfter;
    };
    const Case cases[] = {
        {"a taken name gets the time stamp before the extension, movie alike",
         {{"client/x.jpg", "new photo"}, {"client/x.mov", "new movie"}},
         {{"client/x.jpg", "old photo"}, {"client/x.mov", "old movie"}},
         "client/x.jpg",
         "client/x 20261206_141503.jpg",
         {{"client/", ""}},
         {{"client/", ""},
          {"client/x.jpg", "old photo"},
          {"client/x.mov", "old movie"},
          {"client/x 20261206_141503.jpg", "new photo"},
          {"client/x 20261206_141503.mov", "new movie"}}},
        {"the stamped name taken as well",
         {{"c/x.png", "new"}},
         {{"c/x.png", "1"}, {"c/x 20261206_141503.mov", "2"}},
         "c/x.png",
         "c/x 20261206_141503 2.png",
         {{"c/", ""}},
         {{"c/", ""},
          {"c/x.png", "1"},
          {"c/x 20261206_141503.mov", "2"},
          {"c/x 20261206_141503 2.png", "new"}}},
        {"a vanished photo",
         {{"client/", ""}},
         {},
         "client/x.jpg",
         std::nullopt,
         {{"client/", ""}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir tmp;
        plant(tmp / "src", c.source);
        fs::create_directories(tmp / "src");
        plant(tmp / "Problem Folder", c.problem);
        auto filed = KDW_FileManager::setItemAside(c.item, (tmp / "src").string(),
                                                   (tmp / "Problem Folder").string(), clock);
        EXPECT_EQ(filed, c.filedAs);
        EXPECT_EQ(tree(tmp / "src"), c.sourceAfter);
        EXPECT_EQ(tree(tmp / "Problem Folder"), c.problemAfter);
    }
}

}  // namespace
}  // namespace vorn
