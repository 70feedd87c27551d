// Opening a path someone else chose: a symbolic link anywhere on it is refused, both with
// openat2 and with the folder-by-folder walk older kernels get.

#include "platform/OpenWithoutLinks.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/FileDescriptor.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;

TEST(OpenWithoutLinks, ALinkAnywhereOnThePathIsRefusedEitherWay) {
    test::TempDir tmp;
    const fs::path base = fs::canonical(tmp.path());  // the rows' own links only
    test::writeFile(base / "Shoot/Day1/IMG_0001.jpg", "photo");
    test::writeFile(base / "Keys/id.jpg", "secret");
    fs::create_symlink(base / "Keys/id.jpg", base / "Shoot/Day1/alias.jpg");
    fs::create_symlink(base / "Keys", base / "Shoot/Linked");
    fs::create_symlink(base / "nowhere", base / "Shoot/dangling.jpg");
    struct Row {
        const char* path;  // below base
        int error;         // 0: opens the photo
    } rows[] = {
        {"Shoot/Day1/IMG_0001.jpg", 0},
        {"Shoot/Linked/../Day1/IMG_0001.jpg", ELOOP},
        {"Shoot/Day1/../Day1//./IMG_0001.jpg", 0},
        {"Shoot/Day1/alias.jpg", ELOOP},
        {"Shoot/Linked/id.jpg", ELOOP},
        {"Shoot/dangling.jpg", ELOOP},
        {"Shoot/Day1/IMG_0002.jpg", ENOENT},
    };
    for (LinkSafeOpen how : {LinkSafeOpen::Openat2, LinkSafeOpen::WalkEachFolder}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message()
                         << row.path << (how == LinkSafeOpen::Openat2 ? " openat2" : " walk"));
            errno = 0;
            Fd fd(openWithoutLinks((base / row.path).string(), O_RDONLY | O_NONBLOCK, how));
            EXPECT_EQ(fd.valid() ? 0 : errno, row.error);
            if (!fd.valid()) continue;
            char buf[8] = {};
            EXPECT_EQ(::read(fd.get(), buf, sizeof buf), 5);
            EXPECT_STREQ(buf, "photo");
            EXPECT_EQ(pathOfDescriptor(fd.get()), (base / "Shoot/Day1/IMG_0001.jpg").string());
            EXPECT_EQ(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        }
    }
}

}  // namespace
}  // namespace vorn
