#include "files/KDW_FileManager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "support/CapturedOutput.h"
#include "support/FolderLayout.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/Times.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;

using test::folderContents;
using test::plant;

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
        const char *source, *dest;
        std::vector<const char*> items;
        bool overwrite;
        const char *sourceAfter, *destAfter;
    };
    const Case cases[] = {
        // Photo and movie, the mirror copy replaced.
        {"c/p.jpg=new,c/p.mov=movie",
         "c/p.jpg=old",
         {"c/p.jpg", "c/p.mov"},
         true,
         "c/",
         "c/,c/p.jpg=new,c/p.mov=movie"},
        // A folder as item makes its counterpart only.
        {"c/a.jpg=a", "", {"c"}, true, "c/,c/a.jpg=a", "c/"},
        {"c/x.jpg=new", "c/x.jpg=old", {"c/x.jpg"}, false, "c/,c/x.jpg=new", "c/,c/x.jpg=old"},
        // A name that climbs out of its folder is refused.
        {"x.jpg=x", "c/", {"c/../../outside.jpg"}, true, "x.jpg=x", "c/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        test::TempDir tmp;
        plant(tmp / "src", c.source);
        plant(tmp / "mirror", c.dest);
        test::CapturedOutput quiet(2);
        for (const char* item : c.items) {
            KDW_FileManager::moveFileToPath(item, (tmp / "src").string(), (tmp / "mirror").string(),
                                            c.overwrite, false);
        }
        EXPECT_EQ(folderContents(tmp / "src"), c.sourceAfter);
        EXPECT_EQ(folderContents(tmp / "mirror"), c.destAfter);
        EXPECT_FALSE(fs::exists(tmp / "outside.jpg"));
    }
}

TEST(KDW_FileManager, SettingAsideFilesPhotoAndMovieUnderAFreeName) {
    test::ScopedEnv tz("TZ", "UTC");
    const FixedClock clock(test::utc(2026, 12, 6, 14, 15, 3));
    struct Case {
        const char *source, *problem, *item;
        std::optional<std::string> filedAs;
        const char *sourceAfter, *problemAfter;
    };
    const Case cases[] = {
        // A taken name gets the time stamp before the extension, the movie alike.
        {"c/x.jpg=new,c/x.mov=newmovie", "c/x.jpg=old,c/x.mov=oldmovie", "c/x.jpg",
         "c/x 20261206_141503.jpg", "c/",
         "c/,c/x 20261206_141503.jpg=new,c/x 20261206_141503.mov=newmovie,c/x.jpg=old,"
         "c/x.mov=oldmovie"},
        // A taken movie name alone also moves the pair to a new stem.
        {"x.jpg=new,x.mov=newmovie", "x.mov=old", "x.jpg", "x 20261206_141503.jpg", "",
         "x 20261206_141503.jpg=new,x 20261206_141503.mov=newmovie,x.mov=old"},
        // The stamped name taken as well.
        {"c/x.png=new", "c/x.png=1,c/x 20261206_141503.mov=2", "c/x.png",
         "c/x 20261206_141503 2.png", "c/",
         "c/,c/x 20261206_141503 2.png=new,c/x 20261206_141503.mov=2,c/x.png=1"},
        {"c/", "", "c/x.jpg", std::nullopt, "c/", ""},  // a vanished photo
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        test::TempDir tmp;
        plant(tmp / "src", c.source);
        plant(tmp / "Problem Folder", c.problem);
        auto filed = KDW_FileManager::setItemAside(c.item, (tmp / "src").string(),
                                                   (tmp / "Problem Folder").string(), clock);
        EXPECT_EQ(filed, c.filedAs);
        EXPECT_EQ(folderContents(tmp / "src"), c.sourceAfter);
        EXPECT_EQ(folderContents(tmp / "Problem Folder"), c.problemAfter);
    }
}

}  // namespace
}  // namespace vorn
